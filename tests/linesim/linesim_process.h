#pragma once

// Starting quillon-linesim (and other peer programs) from a GoogleTest.
//
//   quillon::linesim::testing::LinesimProcess sim;
//   ASSERT_TRUE(sim.start({"--class", "1", faxPath("text_fine_1p.tif")}));
//   ... open sim.slavePath() as the serial port and receive ...
//   auto r = sim.waitResult(120000);
//   ASSERT_TRUE(r);
//   EXPECT_EQ(r->status, 0);
//   EXPECT_EQ(r->pagesSent, 1);
//
// The simulator's stderr (its protocol log with --verbose) goes to a temporary file whose
// path `stderrPath()` gives, so a failing test can print it (`logText()`). The destructor
// kills a simulator that is still running. Header-only, POSIX only.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quillon::linesim::testing {

// The parsed last line: "RESULT class=1 pages_sent=2 status=0 (OK) duration_s=48.36".
struct LinesimResult {
    std::string line;
    std::string modemClass;
    int pagesSent = -1;
    int status = -1;
    std::string statusText;
    double durationS = -1;
};

inline bool parseResultLine(const std::string &line, LinesimResult &r) {
    char cls[16] = {0};
    int pages = 0, status = 0, used = 0;
    if (std::sscanf(line.c_str(), "RESULT class=%15s pages_sent=%d status=%d (%n", cls, &pages,
                    &status, &used) != 3 ||
        used == 0) {
        return false;
    }
    const size_t close = line.rfind(") duration_s=");
    if (close == std::string::npos || close < static_cast<size_t>(used)) {
        return false;
    }
    r.line = line;
    r.modemClass = cls;
    r.pagesSent = pages;
    r.status = status;
    r.statusText = line.substr(static_cast<size_t>(used), close - static_cast<size_t>(used));
    r.durationS = std::atof(line.c_str() + close + 13);
    return true;
}

// A child process with stdout on a pipe and stderr in a file.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    ~ChildProcess() { kill(); }

    // Starts `argv[0]` (a path) with the arguments. stdout is readable by readLine();
    // stderr goes to `stderrFile` (a temporary file if empty).
    bool start(const std::vector<std::string> &argv, std::string stderrFile = {}) {
        if (argv.empty()) {
            return false;
        }
        if (stderrFile.empty()) {
            char tmpl[] = "/tmp/quillon-child-XXXXXX.log";
            int fd = mkstemps(tmpl, 4);
            if (fd < 0) {
                return false;
            }
            ::close(fd);
            stderrFile = tmpl;
        }
        stderrPath_ = stderrFile;
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return false;
        }
        pid_ = fork();
        if (pid_ < 0) {
            return false;
        }
        if (pid_ == 0) {
            dup2(out[1], 1);
            int err = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) {
                dup2(err, 2);
            }
            int devnull = ::open("/dev/null", O_RDONLY);
            if (devnull >= 0) {
                dup2(devnull, 0);
            }
            std::vector<char *> args;
            for (const auto &a : argv) {
                args.push_back(const_cast<char *>(a.c_str()));
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
        return true;
    }

    // Reads one line of stdout (without the newline), waiting at most `timeoutMs`.
    std::optional<std::string> readLine(int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return line;
            }
            if (out_ < 0) {
                return std::nullopt;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                return std::nullopt;
            }
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
                continue;
            }
            char tmp[512];
            ssize_t n = ::read(out_, tmp, sizeof tmp);
            if (n <= 0) {
                ::close(out_);
                out_ = -1;
                continue;
            }
            buf_.append(tmp, static_cast<size_t>(n));
        }
    }

    // Waits for the exit; returns the exit status (128 + signal), or -1 on time-out.
    int wait(int timeoutMs) {
        if (pid_ <= 0) {
            return exitStatus_;
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                exitStatus_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                return exitStatus_;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return -1;
            }
            usleep(20000);
        }
    }

    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (wait(2000) < 0) {
                ::kill(pid_, SIGKILL);
                wait(2000);
            }
        }
        if (out_ >= 0) {
            ::close(out_);
            out_ = -1;
        }
    }

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    const std::string &stderrPath() const { return stderrPath_; }
    std::string logText() const {
        std::ifstream f(stderrPath_);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int exitStatus_ = -1;
    std::string buf_;
    std::string stderrPath_;
};

// quillon-linesim as a child: start() returns once the SLAVE line is read.
class LinesimProcess {
  public:
    // The binary: $QUILLON_LINESIM if set, else the path compiled in by CMake.
    static std::string binaryPath() {
        if (const char *env = std::getenv("QUILLON_LINESIM")) {
            return env;
        }
#ifdef QUILLON_LINESIM_PATH
        return QUILLON_LINESIM_PATH;
#else
        return "quillon-linesim";
#endif
    }

    bool start(const std::vector<std::string> &args, int timeoutMs = 5000) {
        std::vector<std::string> argv{binaryPath()};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!child_.start(argv)) {
            return false;
        }
        auto first = child_.readLine(timeoutMs);
        if (!first || first->rfind("SLAVE ", 0) != 0) {
            firstLine_ = first.value_or("");
            return false;
        }
        slave_ = first->substr(6);
        return true;
    }

    // Reads stdout until the RESULT line (or time-out / exit) and reaps the process.
    std::optional<LinesimResult> waitResult(int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                return std::nullopt;
            }
            auto line = child_.readLine(static_cast<int>(left));
            if (!line) {
                return std::nullopt;
            }
            LinesimResult r;
            if (parseResultLine(*line, r)) {
                child_.wait(5000);
                return r;
            }
        }
    }

    const std::string &slavePath() const {
        return slave_;
    }
    const std::string &firstLine() const {
        return firstLine_;
    }
    std::string logText() const {
        return child_.logText();
    }
    const std::string &stderrPath() const {
        return child_.stderrPath();
    }
    int exitStatus(int timeoutMs = 5000) {
        return child_.wait(timeoutMs);
    }
    void kill() {
        child_.kill();
    }

  private:
    ChildProcess child_;
    std::string slave_;
    std::string firstLine_;
};

} // namespace quillon::linesim::testing
