#include "platform/process_runner.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace quillon::platform {

namespace {

// How long a child ended by us gets between SIGTERM and SIGKILL.
constexpr int kTerminateGraceMs = 2000;

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Waits until the child ends or `timeoutMs` passes (or the cancel descriptor is readable).
// Returns 1 when it ended, 0 on time-out, 2 on cancel. Without a pidfd it polls.
int waitChild(pid_t pid, int pidFd, int cancelFd, int timeoutMs, int &status) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            return 1;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            return 0;
        }
        pollfd fds[2] = {{pidFd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        int wait = pidFd >= 0 ? static_cast<int>(left) : std::min<int>(static_cast<int>(left), 20);
        int n = ::poll(fds, 2, wait);
        if (n > 0 && cancelFd >= 0 && (fds[1].revents & POLLIN) != 0) {
            return 2;
        }
    }
}

void endChild(pid_t pid, int pidFd, int &status) {
    ::kill(pid, SIGTERM);
    if (waitChild(pid, pidFd, -1, kTerminateGraceMs, status) == 0) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

} // namespace

bool SplitCommandLine(const std::string &line, std::vector<std::string> &words) {
    words.clear();
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < line.size()) {
                word.push_back(line[++i]);
            } else {
                word.push_back(c);
            }
        } else if (c == '"') {
            quoted = true;
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (quoted) {
        words.clear();
        return false;
    }
    if (inWord) {
        words.push_back(word);
    }
    return true;
}

ProcessResult RunProcess(const ProcessRequest &request) {
    ProcessResult result;
    std::vector<std::string> words;
    if (!SplitCommandLine(request.commandLine, words) || words.empty()) {
        result.error = EINVAL;
        return result;
    }
    // Everything the child needs is built before the spawn.
    std::vector<std::string> env;
    for (char **e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto &[name, value] : request.environment) {
            if (entry.compare(0, name.size() + 1, name + "=") == 0) {
                replaced = true;
            }
        }
        if (!replaced) {
            env.push_back(std::move(entry));
        }
    }
    for (const auto &[name, value] : request.environment) {
        env.push_back(name + "=" + value);
    }
    std::vector<char *> argv;
    for (std::string &w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (std::string &e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The child starts with default signal handling and an empty mask, whatever ours are.
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        result.error = rc;
        return result;
    }

    int pidFd = openPidFd(pid);
    int status = 0;
    auto timeoutMs = static_cast<int>(std::min<long long>(request.timeout.count(), 1LL << 30));
    int how = waitChild(pid, pidFd, request.cancelFd, timeoutMs, status);
    if (how != 1) {
        endChild(pid, pidFd, status);
        result.outcome = how == 0 ? ProcessOutcome::TimedOut : ProcessOutcome::Cancelled;
    } else if (WIFEXITED(status)) {
        result.outcome = ProcessOutcome::Exited;
        result.exitCode = WEXITSTATUS(status);
    } else {
        result.outcome = ProcessOutcome::Signalled;
        result.exitCode = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }
    if (pidFd >= 0) {
        ::close(pidFd);
    }
    return result;
}

CancelFlag::CancelFlag() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CancelFlag::~CancelFlag() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void CancelFlag::raise() {
    uint64_t one = 1;
    ssize_t n = ::write(fd_, &one, sizeof one);
    (void)n; // a full counter is still readable
}

} // namespace quillon::platform
