#pragma once

// Running a helper program without a shell: the dial-up substitute runs the phonebook's
// Dial, HangUp and Check command lines with it. The command line is split into words
// (double quotes group words, a backslash escapes the next character inside them); extra
// environment variables are added to the child's environment, never to its arguments, so
// that secrets do not show in the process list. Standard input is /dev/null; the child's
// output goes where the caller's goes.
//
// RunProcess blocks the calling thread until the child ends, the time-out passes or the
// cancel descriptor becomes readable; the two latter end the child (SIGTERM, then SIGKILL
// after a grace period) and reap it. Thread-safe; nothing throws.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace quillon::platform {

// The words of a command line; false when a quote is left open.
bool SplitCommandLine(const std::string &line, std::vector<std::string> &words);

enum class ProcessOutcome {
    Exited,      // exitCode holds the status
    Signalled,   // the child died of a signal (exitCode holds it)
    TimedOut,    // ended by us after the time-out
    Cancelled,   // ended by us because the cancel descriptor became readable
    StartFailed, // no child ran: bad command line, or exec failed (error holds errno)
};

struct ProcessResult {
    ProcessOutcome outcome = ProcessOutcome::StartFailed;
    int exitCode = -1;
    int error = 0;
    [[nodiscard]] bool succeeded() const {
        return outcome == ProcessOutcome::Exited && exitCode == 0;
    }
};

struct ProcessRequest {
    std::string commandLine;
    std::vector<std::pair<std::string, std::string>> environment; // added to the caller's
    std::chrono::milliseconds timeout{120000};
    int cancelFd = -1; // optional: readable means "give up"
};

ProcessResult RunProcess(const ProcessRequest &request);

// An eventfd-based cancel flag for RunProcess; raise() may be called from any thread.
class CancelFlag {
  public:
    CancelFlag();
    ~CancelFlag();
    CancelFlag(const CancelFlag &) = delete;
    CancelFlag &operator=(const CancelFlag &) = delete;
    void raise();
    [[nodiscard]] int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

} // namespace quillon::platform
