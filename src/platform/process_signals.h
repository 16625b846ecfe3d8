#pragma once

// What a long-running server needs from the process around it: the stop and reload signals
// delivered as a readable descriptor (signalfd), so the event loop reads them like any other
// input and no work ever runs in a signal handler, and a lock file that keeps a second
// server off the same work folder.
//
// Thread: create SignalDescriptor on the main thread before any other thread starts, so the
// signals it takes are blocked everywhere and reach only its descriptor. Child processes
// started through process_runner get the default mask back.
//
// Errors: the constructors throw std::system_error when the kernel refuses.

#include <filesystem>
#include <initializer_list>
#include <string>

namespace quillon::platform {

class SignalDescriptor {
  public:
    explicit SignalDescriptor(std::initializer_list<int> signals);
    ~SignalDescriptor();
    SignalDescriptor(const SignalDescriptor &) = delete;
    SignalDescriptor &operator=(const SignalDescriptor &) = delete;

    [[nodiscard]] int fd() const { return fd_; }
    // The next pending signal's number, or 0 when none is pending.
    int Read();

  private:
    int fd_ = -1;
};

// An exclusive flock on `path`, held for the object's lifetime. The process id is written
// into the file for the operator's benefit; the lock, not the file's presence, is what
// counts, so a file left behind by a killed server never blocks the next one.
class FolderLock {
  public:
    explicit FolderLock(std::filesystem::path path);
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    // False when another process holds the lock; Error() then says who or why.
    [[nodiscard]] bool Held() const { return held_; }
    [[nodiscard]] const std::string &Error() const { return error_; }

  private:
    int fd_ = -1;
    bool held_ = false;
    std::string error_;
};

} // namespace quillon::platform
