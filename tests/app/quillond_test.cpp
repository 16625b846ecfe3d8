// quillond as a process, with real peers: the line simulator as the modem behind a line
// table entry, aiosmtpd as the mail host, signals sent by the test.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "linesim_process.h"
#include "mail_test_support.h"
#include "platform/settings_store.h"
#include "records/call_logs.h"
#include "server_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace quillon;
using linesim::testing::ChildProcess;
using linesim::testing::LinesimProcess;
using server::test::kConfigKey;
using server::test::kLinesKey;
using server::test::ReadFile;

constexpr int kStopLimitMs = 10000;

class Quillond : public ::testing::Test {
  protected:
    Quillond() {
        char tmpl[] = "/tmp/quillond-test-XXXXXX";
        root_ = ::mkdtemp(tmpl);
        fs::create_directories(root_ / "config");
        ::setenv("QUILLON_CONFIG_DIR", (root_ / "config").c_str(), 1);
    }
    ~Quillond() override {
        server_.kill();
        ::unsetenv("QUILLON_CONFIG_DIR");
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    fs::path work() const { return root_ / "work"; }
    std::string link() const { return (root_ / "modem").string(); }
    fs::path logPath() const { return root_ / ("quillond-" + std::to_string(starts_) + ".log"); }

    void configure(const std::string &smtp) {
        platform::SettingsStore s = platform::SettingsStore::User();
        s.SetValue(kConfigKey, "rgSMTP", platform::RegValue::String(smtp));
        s.SetValue(kConfigKey, "rgEmailAddress", platform::RegValue::String("office@localhost"));
        s.SetValue(kConfigKey, "rgPhoneNumber", platform::RegValue::String("Direct connection"));
        s.SetValue(kConfigKey, "rgModem", platform::RegValue::String("Fax Modem"));
        s.SetValue(kConfigKey, "rgToEmail", platform::RegValue::Dword(1));
        s.SetValue(kConfigKey, "rgFaxClass", platform::RegValue::Dword(2)); // Class 1
        s.SetValue(kLinesKey, "Fax Modem", platform::RegValue::String(link()));
    }

    bool startServer() {
        ++starts_;
        return server_.start({QUILLOND_PATH, "--workdir", work().string()}, logPath().string());
    }
    // Polls the server's log until `text` appears `n` times or the time is up.
    bool waitLog(const std::string &text, size_t n = 1, int timeoutMs = 240000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (count(text) >= n) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    size_t count(const std::string &text) const {
        std::string log = ReadFile(logPath());
        size_t n = 0;
        for (size_t p = log.find(text); p != std::string::npos; p = log.find(text, p + 1)) {
            ++n;
        }
        return n;
    }
    // Sends `sig` and returns the exit status and the time it took.
    int stop(int sig, std::chrono::milliseconds &took) {
        auto t0 = std::chrono::steady_clock::now();
        ::kill(server_.pid(), sig);
        int st = server_.wait(60000);
        took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - t0);
        return st;
    }

    std::unique_ptr<LinesimProcess> call(const std::string &tiff,
                                         std::vector<std::string> extra = {}) {
        auto sim = std::make_unique<LinesimProcess>();
        std::vector<std::string> args = {"--link", link(), "--first-ring-ms",
                                         "200",    "--id", "+1 555 0100"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(std::string(QUILLON_TEST_FAXES_DIR) + "/" + tiff);
        EXPECT_TRUE(sim->start(args)) << sim->firstLine();
        return sim;
    }

    // The files of a log, through the record view (a log that does not open fails here).
    std::vector<std::string> loggedFiles(records::TLogKind kind, int column) {
        records::TCallLog log{kind};
        log.Open(work().string());
        std::vector<std::string> files;
        for (const auto &row : server::test::ListLog(log)) {
            files.push_back(row.at(static_cast<size_t>(column)));
        }
        return files;
    }

    fs::path root_;
    ChildProcess server_;
    int starts_ = 0;
};

// A second server on the same folder, and a settings file with a line that cannot be read:
// both refuse to start with a message that says why; the running server and the file are
// left as they were. SIGTERM while waiting for a call ends the first one cleanly.
TEST_F(Quillond, SecondServerAndUnreadableSettingsRefusedWaitingServerStopsOnSigterm) {
    configure("127.0.0.1:" + std::to_string(server::test::UnusedPort()));
    ASSERT_TRUE(startServer());
    ASSERT_TRUE(waitLog("capture: ", 1, 60000)) << ReadFile(logPath());
    fs::path firstLog = logPath();

    ChildProcess second;
    fs::path secondLog = root_ / "second.log";
    ASSERT_TRUE(second.start({QUILLOND_PATH, "--workdir", work().string()}, secondLog.string()));
    EXPECT_EQ(second.wait(60000), 3);
    EXPECT_NE(ReadFile(secondLog).find("already works in this folder"), std::string::npos)
        << ReadFile(secondLog);
    EXPECT_TRUE(server_.running());

    std::chrono::milliseconds took{};
    EXPECT_EQ(stop(SIGTERM, took), 0) << ReadFile(firstLog);
    EXPECT_LT(took.count(), kStopLimitMs);
    EXPECT_NE(ReadFile(firstLog).find("stopped; 0 fax file(s) pending"), std::string::npos);

    fs::path store = platform::SettingsStore::UserStorePath();
    {
        std::ofstream out(store, std::ios::app);
        out << "\"rgDesiredBPS\"=dwrd:oops\n";
    }
    std::string before = ReadFile(store);
    ASSERT_TRUE(startServer());
    EXPECT_EQ(server_.wait(60000), 4);
    std::string why = ReadFile(logPath());
    EXPECT_NE(why.find("cannot be read at line"), std::string::npos) << why;
    EXPECT_NE(why.find("dwrd:oops"), std::string::npos) << why;
    EXPECT_EQ(ReadFile(store), before);
}

// SIGTERM in the middle of a call: the server ends the call, exits 0 within 10 s, and what
// it logged is pending; the next start mails it and goes on answering.
TEST_F(Quillond, SigtermDuringCallKeepsWhatArrivedAndNextStartMailsIt) {
    mail::test::SmtpServer smtp;
    ASSERT_TRUE(smtp.ok());
    configure("127.0.0.1:" + smtp.portText());
    auto sim = call("text_fine_3p.tif");
    ASSERT_TRUE(startServer());
    ASSERT_TRUE(waitLog("call: receiving")) << ReadFile(logPath()) << sim->logText();
    // Let a page or so arrive before the stop.
    fs::path faxes = work() / "faxes";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto apfSize = [&] {
        uintmax_t size = 0;
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(faxes, ec)) {
            size = std::max(size, e.file_size(ec));
        }
        return size;
    };
    while (apfSize() < 30000 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    fs::path firstLog = logPath();
    std::chrono::milliseconds took{};
    EXPECT_EQ(stop(SIGTERM, took), 0) << ReadFile(firstLog);
    EXPECT_LT(took.count(), kStopLimitMs) << ReadFile(firstLog);
    sim.reset();
    std::string log = ReadFile(firstLog);
    EXPECT_NE(log.find("received (partial) faxes/"), std::string::npos) << log;

    std::vector<std::string> logged = loggedFiles(records::TLogKind::Incoming, 4);
    ASSERT_EQ(logged.size(), 1u) << log;
    EXPECT_EQ(loggedFiles(records::TLogKind::SendQueue, 2), logged);
    EXPECT_TRUE(loggedFiles(records::TLogKind::Outgoing, 3).empty());

    // The next start mails the partial fax at once and answers the next call.
    auto next = call("text_std_1p.tif");
    ASSERT_TRUE(startServer());
    ASSERT_TRUE(waitLog(" mailed ", 2)) << ReadFile(logPath()) << next->logText();
    // The logs are locked while the server runs.
    EXPECT_EQ(stop(SIGTERM, took), 0);
    EXPECT_EQ(smtp.messages().size(), 2u);
    std::vector<std::string> sent = loggedFiles(records::TLogKind::Outgoing, 3);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], logged[0]);
}

// The modem device goes away in the middle of a call and comes back later: the server keeps
// trying to take the line, does not crash, and answers and mails the next call.
TEST_F(Quillond, ModemVanishingDuringCallAndComingBackIsAnsweredAgain) {
    mail::test::SmtpServer smtp;
    ASSERT_TRUE(smtp.ok());
    configure("127.0.0.1:" + smtp.portText());
    // The modem closes its device three seconds after it answered.
    auto gone = call("text_std_1p.tif", {"--vanish", "ms:3000"});
    ASSERT_TRUE(startServer());
    ASSERT_TRUE(waitLog("receiver finished")) << ReadFile(logPath()) << gone->logText();
    gone->waitResult(120000);
    gone.reset();
    // While the device is missing the server tries to take the line every second.
    ASSERT_TRUE(waitLog("line device not available")) << ReadFile(logPath());
    EXPECT_TRUE(server_.running());

    auto back = call("text_std_1p.tif");
    ASSERT_TRUE(waitLog(" mailed ")) << ReadFile(logPath()) << back->logText();
    auto r = back->waitResult(120000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 0) << r->line;
    std::chrono::milliseconds took{};
    EXPECT_EQ(stop(SIGTERM, took), 0) << ReadFile(logPath());
    EXPECT_EQ(smtp.messages().size(), 1u);
}

// kill -9 at random moments of calls (during the call, between logging and mailing, while
// mailing), each followed by a restart: every fax whose caller saw it confirmed reaches the
// mailbox at least once, and the three logs open and list. QUILLON_KILL_ROUNDS sets the
// number of rounds (default 20).
TEST_F(Quillond, KillRoundsLoseNoConfirmedFax) {
    mail::test::SmtpServer smtp;
    ASSERT_TRUE(smtp.ok());
    configure("127.0.0.1:" + smtp.portText());
    int rounds =
        std::getenv("QUILLON_KILL_ROUNDS") ? std::atoi(std::getenv("QUILLON_KILL_ROUNDS")) : 20;
    std::mt19937 rng(std::random_device{}());
    // The server answers about 15 s after its start and the one-page fax is in about 40 s;
    // the kill falls in the call, or at once after the caller's confirmation (between
    // logging and mailing, or while mailing) when the call ends first.
    std::uniform_int_distribution<int> moment(10000, 50000);
    int confirmed = 0;
    for (int r = 0; r < rounds; ++r) {
        auto sim = call("text_std_1p.tif");
        ASSERT_TRUE(startServer());
        int delay = moment(rng);
        auto result = sim->waitResult(delay);
        ::kill(server_.pid(), SIGKILL);
        EXPECT_EQ(server_.wait(60000), 128 + SIGKILL);
        if (!result) {
            result = sim->waitResult(120000);
        }
        if (result && result->status == 0) {
            ++confirmed;
        }
        std::printf("round %d: kill after %d ms, caller %s\n", r, delay,
                    result ? result->line.c_str() : "(no result)");
        std::fflush(stdout);
    }
    // A last run mails what is pending; the logs are read while no server holds them.
    std::vector<std::string> logged = loggedFiles(records::TLogKind::Incoming, 4);
    auto unsent = [&] {
        std::set<std::string> sent;
        for (const std::string &f : loggedFiles(records::TLogKind::Outgoing, 3)) {
            sent.insert(f);
        }
        return std::count_if(logged.begin(), logged.end(),
                             [&](const std::string &f) { return sent.count(f) == 0; });
    };
    if (unsent() > 0) {
        ASSERT_TRUE(startServer());
        EXPECT_TRUE(waitLog(" mailed ")) << ReadFile(logPath());
        std::chrono::milliseconds took{};
        EXPECT_EQ(stop(SIGTERM, took), 0);
        EXPECT_EQ(unsent(), 0) << ReadFile(logPath());
    }
    std::set<std::string> attached;
    for (const fs::path &m : smtp.messages()) {
        std::string text = ReadFile(m);
        for (size_t p = text.find("filename=\""); p != std::string::npos;
             p = text.find("filename=\"", p + 1)) {
            attached.insert(text.substr(p + 10, text.find('"', p + 10) - p - 10));
        }
    }
    EXPECT_GE(static_cast<int>(attached.size()), confirmed);
    EXPECT_GE(logged.size(), static_cast<size_t>(confirmed));
    EXPECT_GE(loggedFiles(records::TLogKind::SendQueue, 2).size(), logged.size());
}

} // namespace
