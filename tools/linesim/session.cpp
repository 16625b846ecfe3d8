#include "session.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace quillon::linesim {

namespace {
int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
} // namespace

std::string formatResult(const CallResult &r) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "RESULT class=%s pages_sent=%d status=%d (%s) duration_s=%.2f",
                  r.modemClass.c_str(), r.pagesSent, r.status, r.statusText.c_str(), r.durationS);
    return buf;
}

bool Ticker::wait(PtyPort *pty, const std::function<void(const uint8_t *, size_t)> &onBytes) {
    const int64_t step = int64_t(kStepMs) * 1000000;
    if (!started_) {
        started_ = true;
        nextNs_ = nowNs();
    }
    nextNs_ += step;
    uint8_t buf[4096];
    for (;;) {
        int64_t left = realTime_ ? nextNs_ - nowNs() : 0;
        if (pty == nullptr || !pty->isOpen()) {
            if (left > 0) {
                timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
                nanosleep(&ts, nullptr);
            }
            break;
        }
        int n = pty->poll(left > 0 ? static_cast<int>((left + 999999) / 1000000) : 0, buf, sizeof buf);
        if (n < 0) {
            return false;
        }
        if (n > 0) {
            onBytes(buf, static_cast<size_t>(n));
            continue;
        }
        if (!realTime_ || nowNs() >= nextNs_) {
            break;
        }
    }
    // A machine that stalls for long (a debugger, a suspended process) resynchronises
    // instead of racing through the backlog.
    if (realTime_ && nowNs() - nextNs_ > 50 * step) {
        nextNs_ = nowNs();
    }
    ++ticks_;
    return true;
}

void RingSchedule::arm(int64_t nowMs) {
    if (armed_) {
        return;
    }
    armed_ = true;
    nextMs_ = nowMs + (opt_.ringAtStart ? 0 : opt_.firstRingMs);
}

bool RingSchedule::due(int64_t nowMs) {
    if (!armed_ || rings_ >= opt_.rings || nowMs < nextMs_) {
        return false;
    }
    ++rings_;
    nextMs_ += opt_.ringIntervalMs;
    return true;
}

bool RingSchedule::gaveUp(int64_t nowMs) const {
    return armed_ && rings_ >= opt_.rings && nowMs >= nextMs_;
}

std::string normaliseCommand(const std::string &line) {
    std::string out;
    for (char c : line) {
        if (c == ' ' || c == '\r' || c == '\n' || c == '\t') {
            continue;
        }
        out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    return out;
}

bool ErrorInjector::strikes(const std::string &line) {
    if (opt_.errorOn.empty()) {
        return false;
    }
    std::string pat = normaliseCommand(opt_.errorOn);
    std::string cmd = normaliseCommand(line);
    bool match = false;
    if (!pat.empty() && pat.back() == '*') {
        pat.pop_back();
        match = cmd.compare(0, pat.size(), pat) == 0;
    } else {
        match = cmd == pat;
    }
    return match && ++seen_ == opt_.errorNth;
}

void logLine(const Options &opt, const char *fmt, ...) {
    if (!opt.verbose) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    std::fputs("linesim: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
}

} // namespace quillon::linesim
