#include "platform/process_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace quillon::platform {

SignalDescriptor::SignalDescriptor(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals) {
        sigaddset(&set, s);
    }
    if (int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) {
        throw std::system_error(rc, std::generic_category(), "pthread_sigmask");
    }
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "signalfd");
    }
}

SignalDescriptor::~SignalDescriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int SignalDescriptor::Read() {
    signalfd_siginfo info{};
    ssize_t n = ::read(fd_, &info, sizeof info);
    return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

FolderLock::FolderLock(std::filesystem::path path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error_ = "cannot open " + path.string() + ": " + std::strerror(errno);
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        char buf[32] = {};
        ssize_t n = ::pread(fd_, buf, sizeof buf - 1, 0);
        std::string pid = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
        while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) {
            pid.pop_back();
        }
        error_ = err == EWOULDBLOCK
                     ? "another server (process " + (pid.empty() ? "?" : pid) +
                           ") already works in this folder; " + path.string() + " is locked"
                     : "cannot lock " + path.string() + ": " + std::strerror(err);
        ::close(fd_);
        fd_ = -1;
        return;
    }
    held_ = true;
    std::string text = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) == 0) {
        // The id is a courtesy for the operator; the lock works without it.
        ssize_t written = ::pwrite(fd_, text.data(), text.size(), 0);
        (void)written;
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

} // namespace quillon::platform
