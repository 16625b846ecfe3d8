#include "server_test_support.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quillon::server::test {

namespace fs = std::filesystem;

ServerFixture::ServerFixture() {
    char tmpl[] = "/tmp/quillon-server-XXXXXX";
    folder_ = ::mkdtemp(tmpl);
    fs::create_directories(folder_ / "config");
    ::setenv("QUILLON_CONFIG_DIR", (folder_ / "config").c_str(), 1);
}

ServerFixture::~ServerFixture() {
    form_.reset();
    ::unsetenv("QUILLON_CONFIG_DIR");
    std::error_code ec;
    fs::remove_all(folder_, ec);
}

void ServerFixture::configure(const std::string &smtp, const std::string &modemPath,
                              const std::string &address, const std::string &entry, bool toEmail,
                              const std::string &lineDevice) {
    platform::SettingsStore s = store();
    s.SetValue(kConfigKey, "rgSMTP", platform::RegValue::String(smtp));
    s.SetValue(kConfigKey, "rgEmailAddress", platform::RegValue::String(address));
    s.SetValue(kConfigKey, "rgPhoneNumber", platform::RegValue::String(entry));
    s.SetValue(kConfigKey, "rgModem",
               platform::RegValue::String(lineDevice.empty() ? "Direct to COM1" : lineDevice));
    if (!lineDevice.empty()) {
        s.SetValue(kLinesKey, lineDevice, platform::RegValue::String(modemPath));
    }
    s.SetValue(kConfigKey, "rgToEmail", platform::RegValue::Dword(toEmail ? 1 : 0));
    s.SetValue(kConfigKey, "rgFaxClass", platform::RegValue::Dword(2)); // Class 1
    s.SetValue(kPortsKey, "COM1", platform::RegValue::String(modemPath));
}

TForm1 &ServerFixture::start() {
    form_ = std::make_unique<TForm1>(TForm1::Options{folder_});
    form_->OnEvent = [this](const std::string &line) {
        events.push_back(line);
        if (std::getenv("QUILLON_TEST_VERBOSE") != nullptr) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
            std::fprintf(stderr, "[%lld.%03lld] %s\n", static_cast<long long>(ms / 1000 % 100000),
                         static_cast<long long>(ms % 1000), line.c_str());
        }
    };
    form_->FormCreate();
    return *form_;
}

size_t ServerFixture::count(const std::string &prefix) const {
    size_t n = 0;
    for (const std::string &e : events) {
        if (e.rfind(prefix, 0) == 0) {
            ++n;
        }
    }
    return n;
}

bool ServerFixture::waitEvent(const std::string &prefix, size_t n, std::chrono::seconds timeout) {
    return waitFor([&] { return count(prefix) >= n; }, timeout);
}

bool ServerFixture::waitFor(const std::function<bool()> &done, std::chrono::seconds timeout) {
    return platform::EventLoop::current().runUntil(done, timeout);
}

std::string ServerFixture::trace() const {
    std::string t;
    for (const std::string &e : events) {
        t += "  " + e + "\n";
    }
    return t;
}

std::vector<std::vector<std::string>> ListLog(records::TCallLog &log) {
    int n = log.Refresh();
    std::vector<std::vector<std::string>> rows;
    for (int r = 1; r <= n; ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < log.Grid().ColCount(); ++c) {
            row.push_back(log.Grid().Cell(c, r));
        }
        rows.push_back(row);
    }
    return rows;
}

std::string ReadFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int UnusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    int port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

} // namespace quillon::server::test
