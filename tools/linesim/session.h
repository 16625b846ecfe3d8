#pragma once

#include "options.h"
#include "pty_port.h"

#include <cstdint>
#include <functional>
#include <string>

namespace quillon::linesim {

// One audio step: 20 ms of 8 kHz audio, 160 samples each way.
constexpr int kStepMs = 20;
constexpr int kStepSamples = 160;

// The caller's verdict, printed as the last line.
struct CallResult {
    std::string modemClass; // "1", "2", "2.0" or "reference"
    int pagesSent = 0;
    int status = 0;         // T.30 completion code (spandsp numbering)
    std::string statusText;
    double durationS = 0;   // line time from the answer to the caller's end
};

// "RESULT class=1 pages_sent=2 status=0 (OK) duration_s=48.36"
std::string formatResult(const CallResult &r);

// Paces the simulator in 20 ms steps on the monotonic clock and, between steps, hands
// bytes from the receiver to `onBytes`. A late step is run at once (the line time never
// skips), so the protocol sees the same sequence whatever the machine's load.
class Ticker {
  public:
    explicit Ticker(bool realTime) : realTime_(realTime) {}
    // Returns false if the pty failed (the receiver side cannot fail it while we hold the
    // slave open, so this means the port was closed).
    bool wait(PtyPort *pty, const std::function<void(const uint8_t *, size_t)> &onBytes);
    int64_t ticks() const { return ticks_; }
    int64_t ms() const { return ticks_ * kStepMs; }

  private:
    bool realTime_;
    bool started_ = false;
    int64_t nextNs_ = 0;
    int64_t ticks_ = 0;
};

// Ringing of the incoming call: the first ring a while after the receiver's first byte
// (or at once with --ring-at-start), then one every ring interval; after the configured
// number of rings and one more interval unanswered, the caller gives up.
class RingSchedule {
  public:
    explicit RingSchedule(const Options &opt) : opt_(opt) {}
    void arm(int64_t nowMs);
    bool armed() const { return armed_; }
    // True when a ring is due now.
    bool due(int64_t nowMs);
    bool gaveUp(int64_t nowMs) const;
    int rings() const { return rings_; }

  private:
    const Options &opt_;
    bool armed_ = false;
    int64_t nextMs_ = 0;
    int rings_ = 0;
};

// Counts the command lines that match --error-on. The pattern matches a whole command line
// (case and blanks ignored), or its start when it ends in '*'.
class ErrorInjector {
  public:
    explicit ErrorInjector(const Options &opt) : opt_(opt) {}
    // True when this command line is to be answered ERROR.
    bool strikes(const std::string &line);

  private:
    const Options &opt_;
    int seen_ = 0;
};

// Normalises a command line for matching: upper case, no blanks, no CR/LF.
std::string normaliseCommand(const std::string &line);

// The three ways to run a call.
CallResult runClass1(const Options &opt, PtyPort &pty);
CallResult runClass2(const Options &opt, PtyPort &pty);
CallResult runReference(const Options &opt);

void logLine(const Options &opt, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

} // namespace quillon::linesim
