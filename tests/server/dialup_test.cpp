// The dial-up session with real commands (shell scripts written by the test, run without a
// shell by the session) and forwarding runs over a phonebook entry to aiosmtpd. The files
// to mail come from the pending list, as after a restart, so no fax call is needed.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "mail_test_support.h"
#include "platform/process_runner.h"
#include "server_test_support.h"

namespace quillon::server::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Script(const fs::path &dir, const std::string &name, const std::string &body) {
    fs::path p = dir / name;
    std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
    ::chmod(p.c_str(), 0755);
    return p.string();
}

void AddEntry(ServerFixture &fx, const std::string &entry, const std::string &dial,
              const std::string &hangUp = {}, const std::string &check = {},
              uint32_t timeoutS = 0) {
    std::string key = std::string(kPhonebookKey) + "\\" + entry;
    auto s = fx.store();
    s.SetValue(key, "Dial", platform::RegValue::String(dial));
    if (!hangUp.empty()) {
        s.SetValue(key, "HangUp", platform::RegValue::String(hangUp));
    }
    if (!check.empty()) {
        s.SetValue(key, "Check", platform::RegValue::String(check));
    }
    if (timeoutS != 0) {
        s.SetValue(key, "Timeout", platform::RegValue::Dword(timeoutS));
    }
}

TEST(ProcessRunner, CommandLineWords) {
    std::vector<std::string> w;
    ASSERT_TRUE(platform::SplitCommandLine(R"(pppd call "my isp" x\y "a\"b")", w));
    EXPECT_EQ(w, (std::vector<std::string>{"pppd", "call", "my isp", "x\\y", "a\"b"}));
    EXPECT_FALSE(platform::SplitCommandLine("open \"quote", w));
    platform::ProcessRequest rq;
    rq.commandLine = "/nonexistent/dial";
    EXPECT_EQ(platform::RunProcess(rq).outcome, platform::ProcessOutcome::StartFailed);
}

TEST(DialupSession, PhonebookEntriesAndOpenConnections) {
    ServerFixture fx;
    TDialupSession session;
    EXPECT_EQ(session.EntryNames(), (std::vector<std::string>{"Direct connection"}));
    EXPECT_NE(session.FindOpenConnection("direct CONNECTION"), 0u);
    AddEntry(fx, "Work", "/bin/true", "", "/bin/true");
    AddEntry(fx, "Home", "/bin/true", "", "/bin/false");
    AddEntry(fx, "Spare", "/bin/true");
    EXPECT_EQ(session.EntryNames(),
              (std::vector<std::string>{"Direct connection", "Home", "Spare", "Work"}));
    // Names compare without regard to case; a Check command that exits 0 means open.
    EXPECT_NE(session.FindOpenConnection("work"), 0u);
    EXPECT_EQ(session.FindOpenConnection("Home"), 0u);
    EXPECT_EQ(session.FindOpenConnection("Spare"), 0u);
    EXPECT_EQ(session.FindOpenConnection("Nowhere"), 0u);

    // Values longer than the dial parameters' fields are refused with their own error.
    platform::MessageTarget target([](platform::Message &) { return 0; });
    EXPECT_EQ(session.DialConnection("Spare", std::string(257, 'u'), "p", target.handle()),
              TDialupSession::DialStart::Refused);
    EXPECT_EQ(session.LastErrorText(), DialErrorText(kDialErrValueTooLong));
    EXPECT_EQ(session.DialConnection("Nowhere", "u", "p", target.handle()),
              TDialupSession::DialStart::Refused);
    EXPECT_EQ(session.Handle(), 0u);
}

class DialupForwarding : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(smtp.ok());
        fx.configure("127.0.0.1:" + smtp.portText(), "/nonexistent", "office@localhost",
                     "Office ISP");
        fs::create_directories(fx.folder() / "faxes");
        std::ofstream(fx.folder() / "faxes" / "12090001.APF") << "first fax";
        std::ofstream(fx.folder() / "faxes" / "12090002.APF") << "second fax";
        TPendingStore(fx.folder())
            .Save({{"faxes/12090001.APF", "First"}, {"faxes/12090002.APF", "Second"}});
    }
    TForm1 &startAndForward() {
        TForm1 &form = fx.start();
        form.edUserName.Text = "dialuser";
        form.edPassword.Text = "s3cret";
        form.ForwardRetryFirst = 10min;
        form.StartForwarding();
        return form;
    }
    mail::test::SmtpServer smtp;
    ServerFixture fx;
};

// The Dial command brings the connection up: both pending files go in one message whose body
// names each file's sender in order; the connection is hung up afterwards. The credentials
// reach the command in its environment, not on its command line.
TEST_F(DialupForwarding, DialSucceeds) {
    fs::path seen = fx.folder() / "dial.seen";
    fs::path hung = fx.folder() / "hangup.seen";
    AddEntry(fx, "Office ISP",
             Script(fx.folder(), "dial.sh",
                    "echo \"$QUILLON_DIAL_ENTRY|$QUILLON_DIAL_USER|$QUILLON_DIAL_PASSWORD|$*\" > "
                    "\"$1\"") +
                 " " + seen.string(),
             Script(fx.folder(), "hangup.sh", "touch \"$1\"") + " " + hung.string());
    TForm1 &form = startAndForward();
    ASSERT_TRUE(fx.waitEvent("mailed", 1, 60s)) << fx.trace();
    EXPECT_EQ(ReadFile(seen), "Office ISP|dialuser|s3cret|" + seen.string() + "\n");
    ASSERT_TRUE(fx.waitFor([&] { return fs::exists(hung); }, 60s));
    ASSERT_EQ(smtp.messages().size(), 1u);
    std::string text = ReadFile(smtp.messages()[0]);
    size_t first = text.find("{FaxSender}=First\r\n{FaxSender}=Second\r\n{FaxDate}=");
    EXPECT_NE(first, std::string::npos) << text.substr(0, 800);
    EXPECT_EQ(ListLog(form.Outgoing).size(), 2u);
    EXPECT_TRUE(form.PendingFiles().empty());
    EXPECT_EQ(form.Dialup.Handle(), 0u);
    EXPECT_TRUE(form.Timer1.enabled()); // capture restarts a second later
}

TEST_F(DialupForwarding, DialFailsAndTheFilesStay) {
    AddEntry(fx, "Office ISP", "/bin/false");
    TForm1 &form = startAndForward();
    ASSERT_TRUE(fx.waitEvent("forwarding failed: dial-up failed", 1, 60s)) << fx.trace();
    EXPECT_NE(fx.trace().find(DialErrorText(kDialErrCommandFailed)), std::string::npos);
    EXPECT_EQ(form.PendingFiles().size(), 2u);
    EXPECT_TRUE(ListLog(form.Outgoing).empty());
    EXPECT_TRUE(smtp.messages().empty());
    EXPECT_TRUE(form.Timer1.enabled());
    EXPECT_GT(form.RetryDelay().count(), 0);
}

TEST_F(DialupForwarding, DialThatHangsIsEndedAtItsTimeOut) {
    AddEntry(fx, "Office ISP", "/bin/sleep 600", "", "", 1);
    TForm1 &form = startAndForward();
    ASSERT_TRUE(fx.waitEvent("forwarding failed: dial-up failed", 1, 60s)) << fx.trace();
    EXPECT_NE(fx.trace().find(DialErrorText(kDialErrTimedOut)), std::string::npos);
    EXPECT_EQ(form.PendingFiles().size(), 2u);
    EXPECT_TRUE(smtp.messages().empty());
}

// A pending file that is gone is logged as an error and left out; the other is mailed.
TEST_F(DialupForwarding, MissingPendingFileIsLoggedAndTheOthersGo) {
    fs::remove(fx.folder() / "faxes" / "12090001.APF");
    fx.store().SetValue(kConfigKey, "rgPhoneNumber",
                        platform::RegValue::String("Direct connection"));
    TForm1 &form = startAndForward();
    ASSERT_TRUE(fx.waitEvent("mailed", 1, 60s)) << fx.trace();
    auto out = ListLog(form.Outgoing);
    ASSERT_EQ(out.size(), 2u);
    int errors = 0;
    for (const auto &row : out) {
        if (row[3] == "faxes/12090001.APF") {
            EXPECT_EQ(row[4], "Yes");
            EXPECT_EQ(row[5], "File not found");
            ++errors;
        } else {
            EXPECT_EQ(row[1], "S");
        }
    }
    EXPECT_EQ(errors, 1);
    ASSERT_EQ(smtp.messages().size(), 1u);
    std::string text = ReadFile(smtp.messages()[0]);
    EXPECT_NE(text.find("{FaxSender}=Second\r\n{FaxDate}="), std::string::npos);
    EXPECT_EQ(text.find("First"), std::string::npos);
    EXPECT_TRUE(form.PendingFiles().empty());
}

} // namespace
} // namespace quillon::server::test
