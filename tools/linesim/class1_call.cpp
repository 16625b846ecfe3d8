// Class 1: spandsp's T.31 modem on the pty, joined by a real-time audio path to the
// calling fax machine.

#include "caller.h"
#include "session.h"
#include "t31_access.h"

#include <cstring>
#include <memory>

extern "C" {
#include <tiffio.h>
#include <spandsp.h>
}

namespace quillon::linesim {

namespace {

struct Class1State {
    const Options *opt = nullptr;
    PtyPort *pty = nullptr;
    t31_state_t *t31 = nullptr;
    bool answerRequested = false;
    bool answered = false;
    bool receiverHungUp = false;
    std::string line; // command line being collected
};

int atTx(at_state_t *, void *user, const uint8_t *buf, size_t len) {
    auto *s = static_cast<Class1State *>(user);
    s->pty->write(buf, len);
    return static_cast<int>(len);
}

int modemControl(t31_state_t *t31, void *user, int op, const char *) {
    auto *s = static_cast<Class1State *>(user);
    switch (op) {
    case AT_MODEM_CONTROL_ANSWER:
        if (!s->answered) {
            s->answered = true;
            t31_call_event(t31, AT_CALL_EVENT_ANSWERED);
        }
        break;
    case AT_MODEM_CONTROL_HANGUP:
    case AT_MODEM_CONTROL_ONHOOK:
        // ATZ raises HANGUP even while idle; only a hang-up after the answer counts.
        if (s->answered) {
            s->receiverHungUp = true;
        }
        break;
    default:
        break;
    }
    return 0;
}

} // namespace

CallResult runClass1(const Options &opt, PtyPort &pty) {
    CallResult result;
    result.modemClass = className(ModemClass::Class1);
    Class1State st;
    st.opt = &opt;
    st.pty = &pty;
    st.t31 = t31_init(nullptr, atTx, &st, modemControl, &st, nullptr, nullptr);
    t31_set_transmit_on_idle(st.t31, TRUE);
    if (opt.spandspLog) {
        int level = SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_SHOW_TAG | SPAN_LOG_FLOW;
        span_log_set_level(t31_get_logging_state(st.t31), level);
        span_log_set_tag(t31_get_logging_state(st.t31), "t31");
    }

    Ticker ticker(true);
    RingSchedule ring(opt);
    ErrorInjector errors(opt);
    std::unique_ptr<CallingFax> caller;
    bool firstByte = false;
    bool vanished = false;
    int64_t answerMs = -1, callerEndMs = -1, hangUpMs = -1;
    if (opt.ringAtStart) {
        ring.arm(0);
    }

    auto vanish = [&](const char *why) {
        logLine(opt, "the modem vanishes (%s)", why);
        pty.close();
        vanished = true;
        if (caller) {
            caller->lineGone();
        }
    };

    auto feed = [&](const uint8_t *data, size_t len) {
        if (!firstByte) {
            firstByte = true;
            ring.arm(ticker.ms());
            if (opt.vanish && opt.vanish->kind == VanishMoment::Kind::Open) {
                vanish("receiver opened the port");
                return;
            }
        }
        for (size_t i = 0; i < len && !vanished; ++i) {
            if (!linesim_t31_in_command_mode(st.t31) && st.line.empty()) {
                // Frame or page data: hand over the rest of the block as it is.
                t31_at_rx(st.t31, reinterpret_cast<const char *>(data + i), static_cast<int>(len - i));
                break;
            }
            st.line += static_cast<char>(data[i]);
            if (data[i] != '\r') {
                continue;
            }
            std::string cmd;
            cmd.swap(st.line);
            logLine(opt, "dte: %s", normaliseCommand(cmd).c_str());
            if (errors.strikes(cmd)) {
                logLine(opt, "injected ERROR to %s", normaliseCommand(cmd).c_str());
                if (linesim_t31_echo(st.t31)) {
                    pty.write(cmd);
                }
                pty.write(linesim_t31_verbose(st.t31) ? "\r\nERROR\r\n" : "4\r");
                continue;
            }
            t31_at_rx(st.t31, cmd.data(), static_cast<int>(cmd.size()));
        }
    };

    int16_t toModem[kStepSamples];
    int16_t toCaller[kStepSamples];
    for (;;) {
        if (!ticker.wait(vanished ? nullptr : &pty, feed)) {
            vanish("port failed");
        }
        const int64_t now = ticker.ms();
        if (vanished) {
            break;
        }
        if (!st.answered && ring.due(now)) {
            if (opt.vanish && opt.vanish->kind == VanishMoment::Kind::Ring &&
                ring.rings() == opt.vanish->number) {
                vanish("ring");
                break;
            }
            logLine(opt, "RING %d", ring.rings());
            t31_call_event(st.t31, AT_CALL_EVENT_ALERTING);
        }
        if (!st.answered && ring.gaveUp(now)) {
            logLine(opt, "no answer after %d rings: the caller gives up", ring.rings());
            result.status = T30_ERR_T0_EXPIRED;
            result.statusText = completionText(result.status);
            break;
        }
        if (st.answered && !caller) {
            answerMs = now;
            logLine(opt, "answered after %d rings", ring.rings());
            if (opt.vanish && opt.vanish->kind == VanishMoment::Kind::Answer) {
                vanish("answer");
                break;
            }
            caller = std::make_unique<CallingFax>(opt);
        }
        // Step the audio both ways. The modem runs from the start so that its timers tick.
        if (caller) {
            caller->tx(toModem, kStepSamples);
        } else {
            std::memset(toModem, 0, sizeof toModem);
        }
        t31_rx(st.t31, toModem, kStepSamples);
        int n = t31_tx(st.t31, toCaller, kStepSamples);
        if (n < kStepSamples) {
            std::memset(toCaller + n, 0, sizeof(int16_t) * static_cast<size_t>(kStepSamples - n));
        }
        if (caller) {
            if (st.receiverHungUp) {
                std::memset(toCaller, 0, sizeof toCaller);
            }
            caller->rx(toCaller, kStepSamples);
        }
        if (caller && opt.vanish) {
            const auto &v = *opt.vanish;
            if ((v.kind == VanishMoment::Kind::AfterAnswer && now - answerMs >= v.number) ||
                (v.kind == VanishMoment::Kind::Page && caller->inPage() &&
                 caller->currentPage() == v.number && caller->pageSamples() >= int64_t(v.ms) * 8)) {
                vanish("fault moment reached");
                break;
            }
        }
        if (st.receiverHungUp && hangUpMs < 0) {
            hangUpMs = now;
            logLine(opt, "the receiver hung up");
        }
        if (caller && !caller->finished() && hangUpMs >= 0 && now - hangUpMs >= 3000) {
            // The far end cleared the call; the caller notices the line is gone.
            caller->lineGone();
        }
        if (caller && caller->finished() && callerEndMs < 0) {
            callerEndMs = now;
        }
        if (callerEndMs >= 0 && (st.receiverHungUp || now - callerEndMs >= opt.lingerMs)) {
            break;
        }
        if (now >= int64_t(opt.maxCallS) * 1000) {
            logLine(opt, "run time limit reached");
            if (caller) {
                caller->lineGone();
            }
            break;
        }
    }
    if (caller) {
        if (callerEndMs < 0) {
            callerEndMs = ticker.ms();
        }
        result.pagesSent = caller->pagesSent();
        result.status = caller->status();
        result.statusText = caller->statusText();
        result.durationS = double(callerEndMs - answerMs) / 1000.0;
    } else if (result.statusText.empty()) {
        result.status = T30_ERR_CALLDROPPED;
        result.statusText = completionText(result.status);
    }
    t31_free(st.t31);
    return result;
}

} // namespace quillon::linesim
