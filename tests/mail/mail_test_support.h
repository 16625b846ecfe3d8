#pragma once

// Shared pieces of the mail tests: a temporary folder, the Python peers (aiosmtpd and the
// scripted raw server) started on free 127.0.0.1 ports, and a recorder for client events.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "mail/smtp_client.h"
#include "platform/event_loop.h"

namespace quillon::mail::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    [[nodiscard]] const std::filesystem::path &path() const { return path_; }
    std::filesystem::path file(const std::string &name, const std::string &content) const;

  private:
    std::filesystem::path path_;
};

// A /usr/bin/python3 script run as a child process that prints its port first.
class PythonPeer {
  public:
    PythonPeer() = default;
    ~PythonPeer();
    PythonPeer(const PythonPeer &) = delete;
    PythonPeer &operator=(const PythonPeer &) = delete;
    // Starts the script from this folder with the arguments; false when it gave no port.
    bool start(const std::string &script, const std::vector<std::string> &args);
    [[nodiscard]] int port() const { return port_; }
    [[nodiscard]] std::string portText() const { return std::to_string(port_); }
    // Waits for the child to end on its own; false on time-out.
    bool waitExit(std::chrono::milliseconds timeout);
    void stop();

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// The aiosmtpd server storing messages in dir().
class SmtpServer {
  public:
    explicit SmtpServer(bool discard = false);
    [[nodiscard]] int port() const { return peer_.port(); }
    [[nodiscard]] std::string portText() const { return peer_.portText(); }
    [[nodiscard]] const std::filesystem::path &dir() const { return dir_.path(); }
    // Stored messages, in order.
    [[nodiscard]] std::vector<std::filesystem::path> messages() const;
    [[nodiscard]] bool ok() const { return ok_; }

  private:
    TempDir dir_;
    PythonPeer peer_;
    bool ok_ = false;
};

// The raw server with its steps; received() is what the client sent.
class RawServer {
  public:
    explicit RawServer(const std::vector<std::string> &steps);
    [[nodiscard]] std::string portText() const { return peer_.portText(); }
    [[nodiscard]] bool ok() const { return ok_; }
    bool waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return peer_.waitExit(timeout);
    }
    [[nodiscard]] std::string received() const;

  private:
    TempDir dir_;
    PythonPeer peer_;
    bool ok_ = false;
};

std::string readFile(const std::filesystem::path &p);
std::string randomBytes(size_t n, unsigned seed);

// Runs check_mime.py on a message: its "key value" lines; parts decoded into outDir.
std::vector<std::pair<std::string, std::string>> checkMime(const std::filesystem::path &msg,
                                                           const std::filesystem::path &outDir);
std::string lookup(const std::vector<std::pair<std::string, std::string>> &kv,
                   const std::string &key);

struct Done {
    TSmtpRequest rq;
    uint16_t error;
};

// Records a client's events; optional reactions run on each completion.
struct Recorder {
    explicit Recorder(TSmtpClientBase &client);
    std::vector<Done> done;
    std::vector<std::string> commands;
    std::vector<std::string> responses;
    std::vector<std::string> display;
    std::function<void(TSmtpRequest, uint16_t)> react;
    std::vector<std::string> body; // served by OnGetData
    // Pumps the loop until `count` completions arrived or the time-out passed.
    bool waitDone(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
};

} // namespace quillon::mail::test
