#include "mail_test_support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace quillon::mail::test {

namespace fs = std::filesystem;

namespace {
std::string scriptDir() {
    return QUILLON_MAIL_TEST_DIR;
}

// Runs a command and returns its standard output.
std::string capture(const std::vector<std::string> &argv) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) {
        return {};
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipefd[1], 1);
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        std::vector<char *> args;
        for (const std::string &a : argv) {
            args.push_back(const_cast<char *>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipefd[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}
} // namespace

TempDir::TempDir() {
    static int counter = 0;
    path_ = fs::temp_directory_path() /
            ("quillon-mail-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

fs::path TempDir::file(const std::string &name, const std::string &content) const {
    fs::path p = path_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
}

PythonPeer::~PythonPeer() {
    stop();
}

bool PythonPeer::start(const std::string &script, const std::vector<std::string> &args) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) {
        return false;
    }
    std::string path = scriptDir() + "/" + script;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(pipefd[1], 1);
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        std::vector<std::string> all = {"/usr/bin/python3", path};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipefd[1]);
    std::string line;
    pollfd p{pipefd[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
        char buf[64];
        ssize_t n = ::read(pipefd[0], buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        line.append(buf, static_cast<size_t>(n));
    }
    ::close(pipefd[0]);
    port_ = std::atoi(line.c_str());
    return port_ > 0;
}

bool PythonPeer::waitExit(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) {
            pid_ = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        ::usleep(10000);
    }
    return true;
}

void PythonPeer::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

SmtpServer::SmtpServer(bool discard) {
    std::vector<std::string> args = {dir_.path().string()};
    if (discard) {
        args.emplace_back("--discard");
    }
    ok_ = peer_.start("smtp_server.py", args);
}

std::vector<fs::path> SmtpServer::messages() const {
    std::vector<fs::path> out;
    for (int i = 1;; ++i) {
        fs::path p = dir_.path() / ("msg" + std::to_string(i) + ".eml");
        if (!fs::exists(p)) {
            break;
        }
        out.push_back(p);
    }
    return out;
}

RawServer::RawServer(const std::vector<std::string> &steps) {
    std::vector<std::string> args = {(dir_.path() / "received").string()};
    args.insert(args.end(), steps.begin(), steps.end());
    ok_ = peer_.start("raw_server.py", args);
}

std::string RawServer::received() const {
    return readFile(dir_.path() / "received");
}

std::string readFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s) {
        c = static_cast<char>(gen() & 0xFF);
    }
    return s;
}

std::vector<std::pair<std::string, std::string>> checkMime(const fs::path &msg,
                                                           const fs::path &outDir) {
    std::string out = capture(
        {"/usr/bin/python3", scriptDir() + "/check_mime.py", msg.string(), outDir.string()});
    std::vector<std::pair<std::string, std::string>> kv;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        size_t sp = line.find(' ');
        kv.emplace_back(line.substr(0, sp), sp == std::string::npos ? "" : line.substr(sp + 1));
    }
    return kv;
}

std::string lookup(const std::vector<std::pair<std::string, std::string>> &kv,
                   const std::string &key) {
    for (const auto &[k, v] : kv) {
        if (k == key) {
            return v;
        }
    }
    return "<missing " + key + ">";
}

Recorder::Recorder(TSmtpClientBase &client) {
    client.OnRequestDone = [this](TSmtpClientBase *, TSmtpRequest rq, uint16_t error) {
        done.push_back({rq, error});
        if (react) {
            react(rq, error);
        }
    };
    client.OnCommand = [this](TSmtpClientBase *, const std::string &m) { commands.push_back(m); };
    client.OnResponse = [this](TSmtpClientBase *, const std::string &m) { responses.push_back(m); };
    client.OnDisplay = [this](TSmtpClientBase *, const std::string &m) { display.push_back(m); };
    client.OnGetData = [this](TSmtpClientBase *, int lineNum, char *msgLine, int maxLen,
                              bool &more) {
        if (lineNum < 1 || static_cast<size_t>(lineNum) > body.size()) {
            more = false;
            return;
        }
        const std::string &l = body[static_cast<size_t>(lineNum - 1)];
        size_t n = std::min(l.size(), static_cast<size_t>(maxLen));
        std::memcpy(msgLine, l.data(), n);
        msgLine[n] = '\0';
    };
}

bool Recorder::waitDone(size_t count, std::chrono::milliseconds timeout) {
    return platform::EventLoop::current().runUntil([&] { return done.size() >= count; }, timeout);
}

} // namespace quillon::mail::test
