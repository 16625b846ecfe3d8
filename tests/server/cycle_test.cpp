// The whole cycle in real time with real peers: quillon-linesim as the fax modem behind
// "Direct to COM1", "Direct connection" (or a phonebook entry), and aiosmtpd (or the
// scripted raw server for replies aiosmtpd does not give) as the mail host. Each test is a
// CTest test of its own, so they run in parallel.

#include <gtest/gtest.h>

#include <regex>

#include "linesim_process.h"
#include "mail_test_support.h"
#include "server_test_support.h"

namespace quillon::server::test {
namespace {

using linesim::testing::LinesimProcess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string FaxPath(const std::string &name) {
    return std::string(QUILLON_TEST_FAXES_DIR) + "/" + name;
}

// A calling fax machine on the pty linked at `link`.
std::unique_ptr<LinesimProcess> Call(const std::string &link, const std::string &tiff,
                                     std::vector<std::string> extra = {}) {
    auto sim = std::make_unique<LinesimProcess>();
    std::vector<std::string> args = {"--link", link,   "--first-ring-ms",
                                     "200",    "--id", " +1 555 0100 "};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(FaxPath(tiff));
    EXPECT_TRUE(sim->start(args)) << sim->firstLine();
    return sim;
}

// Checks one stored message against the files it should carry, in order.
void ExpectMail(const fs::path &msg, const fs::path &work, const std::vector<std::string> &files,
                const std::string &sender) {
    std::string text = ReadFile(msg);
    EXPECT_NE(text.find("From: office@localhost\r\n"), std::string::npos) << text.substr(0, 600);
    EXPECT_NE(text.find("To: office@localhost\r\n"), std::string::npos);
    EXPECT_NE(text.find("Subject: {Quillon}\r\n"), std::string::npos);
    // The comment header is a header line of its own, right after From.
    EXPECT_NE(text.find("From: office@localhost\r\nComments: This is a test\r\n"),
              std::string::npos);
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_NE(text.find("{FaxSender}=" + sender + "\r\n"), std::string::npos);
    }
    EXPECT_TRUE(std::regex_search(
        text, std::regex("\\{FaxDate\\}=\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d (AM|PM)\r\n")));
    fs::path out = work / "parts";
    fs::create_directories(out);
    auto kv = mail::test::checkMime(msg, out);
    EXPECT_EQ(mail::test::lookup(kv, "defects"), "0");
    EXPECT_EQ(mail::test::lookup(kv, "comments"), "This is a test");
    ASSERT_EQ(mail::test::lookup(kv, "parts"), std::to_string(files.size() + 1));
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(ReadFile(out / ("part" + std::to_string(i + 1) + ".bin")),
                  ReadFile(work / files[i]))
            << files[i];
    }
}

class Cycle : public ::testing::Test {
  protected:
    ServerFixture fx;
    std::string link() const { return (fx.folder() / "modem").string(); }
};

// One fax: received, logged in vIn.qdb and sque.qdb, mailed with the headers and body
// lines, logged in vOut.qdb; capture runs again and a second call is mailed too. The modem
// is reached through the line table.
TEST_F(Cycle, TwoCallsInARowEachMailed) {
    mail::test::SmtpServer smtp;
    ASSERT_TRUE(smtp.ok());
    // The modem is a line device of the line table, taken in passthrough mode.
    fx.configure("127.0.0.1:" + smtp.portText(), link(), "office@localhost", "Direct connection",
                 true, "Fax Modem");
    auto sim = Call(link(), "text_std_1p.tif");
    TForm1 &form = fx.start();
    EXPECT_EQ(form.Panel5.Caption, "Fax Modem");
    form.BitBtnBegFaxClick();
    EXPECT_EQ(form.ComPort1.TapiMode(), comm::tmOn);
    EXPECT_FALSE(form.BitBtnBegFax.Enabled);
    EXPECT_TRUE(form.BitBtnEndFax.Enabled);
    EXPECT_EQ(form.reMessages.Lines[1], "Waiting For Fax.");

    ASSERT_TRUE(fx.waitEvent("mailed", 1)) << fx.trace() << sim->logText();
    auto r = sim->waitResult(60000);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 0) << r->line;
    ASSERT_EQ(smtp.messages().size(), 1u);

    auto in = ListLog(form.Incoming);
    ASSERT_EQ(in.size(), 1u);
    std::string file = in[0][4];
    EXPECT_TRUE(std::regex_match(file, std::regex("faxes/\\d{8}\\.APF"))) << file;
    EXPECT_EQ(in[0][1], "No");
    EXPECT_EQ(in[0][3], "Yes");
    auto queue = ListLog(form.SendQueue);
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0][0], "Q");
    EXPECT_EQ(queue[0][2], file);
    auto out = ListLog(form.Outgoing);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][1], "S");
    EXPECT_EQ(out[0][3], file);
    // The station id is trimmed of its fill spaces.
    ExpectMail(smtp.messages()[0], fx.folder(), {file}, "+1 555 0100");
    EXPECT_TRUE(form.PendingFiles().empty());
    EXPECT_EQ(form.Panel10.Caption, "Forwarding Fax");

    // Capture again; the next call is answered and mailed as well. Until the next caller's
    // modem is there, the controller retries opening the line every second.
    sim.reset();
    auto second = Call(link(), "text_std_1p.tif");
    ASSERT_TRUE(fx.waitEvent("capture: waiting", 2)) << fx.trace();
    ASSERT_TRUE(fx.waitEvent("mailed", 2)) << fx.trace() << second->logText();
    ASSERT_EQ(smtp.messages().size(), 2u);
    EXPECT_EQ(ListLog(form.Incoming).size(), 2u);
    EXPECT_EQ(ListLog(form.Outgoing).size(), 2u);
}

// A modem with no call for a long time: the receiver prepares it and waits.
std::unique_ptr<LinesimProcess> IdleLine(const std::string &link) {
    return Call(link, "text_std_1p.tif", {"--first-ring-ms", "590000"});
}

// The mail host down, failing temporarily (4xx), stalling, refusing (5xx): each time the fax
// stays pending, no sent-mail record is written and capture goes on; the retry mails it
// once the host takes it.
TEST_F(Cycle, MailHostFailuresKeepTheFaxUntilARetryMailsIt) {
    fx.configure("127.0.0.1:" + std::to_string(UnusedPort()), link());
    auto sim = Call(link(), "text_std_1p.tif");
    TForm1 &form = fx.start();
    form.ForwardRetryFirst = 300ms;
    form.ForwardRetryMax = 2s;
    form.SmtpClient.Timeout = 3000;
    form.BitBtnBegFaxClick();

    auto expectPendingAndCaptureAgain = [&](size_t failures, const std::string &what) {
        ASSERT_TRUE(fx.waitEvent("forwarding failed", failures)) << what << "\n" << fx.trace();
        EXPECT_EQ(form.PendingFiles().size(), 1u) << what;
        EXPECT_TRUE(ListLog(form.Outgoing).empty()) << what;
        EXPECT_GT(form.RetryDelay().count(), 0) << what;
        ASSERT_TRUE(fx.waitEvent("capture: waiting", failures + 1)) << what << "\n" << fx.trace();
    };
    // Down: nothing listens on the port.
    ASSERT_TRUE(fx.waitEvent("received", 1)) << fx.trace();
    ASSERT_TRUE(sim->waitResult(60000));
    sim = IdleLine(link());
    expectPendingAndCaptureAgain(1, "down");
    std::string file = form.PendingFiles()[0];

    // 4xx: the host greets, then defers the transaction.
    mail::test::RawServer deferring({"send:220 raw\\r\\n", "line", "send:250 hello\\r\\n", "line",
                                     "send:451 4.3.0 try again later\\r\\n", "eof"});
    ASSERT_TRUE(deferring.ok());
    form.edSMTP.Text = "127.0.0.1:" + deferring.portText();
    expectPendingAndCaptureAgain(2, "4xx");
    EXPECT_EQ(fx.count("forwarding failed: mail refused: 451"), 1u) << fx.trace();

    // Stalling: no reply to MAIL; the client's time-out ends the session.
    mail::test::RawServer stalling(
        {"send:220 raw\\r\\n", "line", "send:250 hello\\r\\n", "line", "sleep:60"});
    ASSERT_TRUE(stalling.ok());
    form.edSMTP.Text = "127.0.0.1:" + stalling.portText();
    expectPendingAndCaptureAgain(3, "stall");

    // 5xx: the host refuses the recipient.
    mail::test::SmtpServer smtp;
    ASSERT_TRUE(smtp.ok());
    form.edSMTP.Text = "127.0.0.1:" + smtp.portText();
    form.edEMailAddress.Text = "refuse@localhost";
    expectPendingAndCaptureAgain(4, "5xx");
    EXPECT_TRUE(smtp.messages().empty());

    // Back: the retry mails the fax, once.
    form.edEMailAddress.Text = "office@localhost";
    ASSERT_TRUE(fx.waitEvent("mailed", 1)) << fx.trace();
    ASSERT_EQ(smtp.messages().size(), 1u);
    ExpectMail(smtp.messages()[0], fx.folder(), {file}, "+1 555 0100");
    auto out = ListLog(form.Outgoing);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][3], file);
    EXPECT_TRUE(form.PendingFiles().empty());
    EXPECT_EQ(form.RetryDelay().count(), 0);
    EXPECT_EQ(ListLog(form.SendQueue).size(), 1u);
}

// Forwarding off: the fax is logged and queued, nothing is mailed and capture runs again.
// "End Fax Capture" with the file pending and forwarding on then mails it and capture
// starts again.
TEST_F(Cycle, ForwardingOffThenEndCaptureWithFilesPending) {
    mail::test::SmtpServer smtp;
    ASSERT_TRUE(smtp.ok());
    fx.configure("127.0.0.1:" + smtp.portText(), link(), "office@localhost", "Direct connection",
                 false);
    auto sim = Call(link(), "text_std_1p.tif");
    TForm1 &form = fx.start();
    EXPECT_FALSE(form.rbToEmail.Checked);
    form.BitBtnBegFaxClick();
    ASSERT_TRUE(fx.waitEvent("received", 1)) << fx.trace();
    ASSERT_TRUE(sim->waitResult(60000));
    sim = IdleLine(link());
    ASSERT_TRUE(fx.waitEvent("capture: waiting", 2)) << fx.trace();
    EXPECT_EQ(ListLog(form.Incoming).size(), 1u);
    EXPECT_EQ(ListLog(form.SendQueue).size(), 1u);
    EXPECT_TRUE(ListLog(form.Outgoing).empty());
    EXPECT_EQ(fx.count("forwarding"), 0u);
    ASSERT_EQ(form.PendingFiles().size(), 1u);
    EXPECT_TRUE(smtp.messages().empty());

    form.rbToEmail.Checked = true;
    form.BitBtnEndFaxClick();
    EXPECT_TRUE(form.BitBtnBegFax.Enabled);
    EXPECT_FALSE(form.BitBtnEndFax.Enabled);
    EXPECT_EQ(form.reMessages.Lines[1], "Not Ready.");
    ASSERT_TRUE(fx.waitEvent("mailed", 1)) << fx.trace();
    ASSERT_EQ(smtp.messages().size(), 1u);
    ASSERT_TRUE(fx.waitEvent("capture: waiting", 3)) << fx.trace();
    EXPECT_FALSE(form.BitBtnBegFax.Enabled);
}

// A caller that drops in page 2: the partial file is logged, queued and mailed, and the line
// answers the next call.
TEST_F(Cycle, CallerDropsInPageTwo) {
    mail::test::SmtpServer smtp;
    ASSERT_TRUE(smtp.ok());
    fx.configure("127.0.0.1:" + smtp.portText(), link());
    auto sim = Call(link(), "text_fine_3p.tif", {"--drop-in-page", "2:1500"});
    TForm1 &form = fx.start();
    form.BitBtnBegFaxClick();
    ASSERT_TRUE(fx.waitEvent("received (partial)", 1)) << fx.trace();
    ASSERT_TRUE(fx.waitEvent("mailed", 1)) << fx.trace();
    auto r = sim->waitResult(60000);
    ASSERT_TRUE(r);
    EXPECT_NE(r->status, 0) << r->line;
    ASSERT_EQ(smtp.messages().size(), 1u);
    auto in = ListLog(form.Incoming);
    ASSERT_EQ(in.size(), 1u);
    ExpectMail(smtp.messages()[0], fx.folder(), {in[0][4]}, "+1 555 0100");
    EXPECT_EQ(ListLog(form.SendQueue).size(), 1u);

    sim = Call(link(), "text_std_1p.tif");
    ASSERT_TRUE(fx.waitEvent("mailed", 2)) << fx.trace() << sim->logText();
    EXPECT_EQ(ListLog(form.Incoming).size(), 2u);
}

// A fax logged but not mailed when the controller is destroyed without its normal shutdown
// is mailed by the next controller started on the same folder.
TEST_F(Cycle, PendingFaxSurvivesTheControllerAndIsMailedByTheNext) {
    fx.configure("127.0.0.1:" + std::to_string(UnusedPort()), link());
    auto sim = Call(link(), "text_std_1p.tif");
    {
        TForm1 &form = fx.start();
        form.ForwardRetryFirst = 10min;
        form.BitBtnBegFaxClick();
        ASSERT_TRUE(fx.waitEvent("forwarding failed", 1)) << fx.trace();
        ASSERT_EQ(form.PendingFiles().size(), 1u);
    }
    std::string onDisk = ReadFile(fx.folder() / "pending.lst");
    EXPECT_NE(onDisk.find("faxes/"), std::string::npos) << onDisk;
    EXPECT_NE(onDisk.find("\t+1 555 0100\n"), std::string::npos) << onDisk;
    fx.drop();
    ASSERT_TRUE(sim->waitResult(60000));

    mail::test::SmtpServer smtp;
    ASSERT_TRUE(smtp.ok());
    fx.configure("127.0.0.1:" + smtp.portText(), link());
    sim = IdleLine(link());
    fx.events.clear();
    TForm1 &next = fx.start();
    ASSERT_EQ(next.PendingFiles().size(), 1u);
    next.BitBtnBegFaxClick();
    ASSERT_TRUE(fx.waitEvent("mailed", 1)) << fx.trace();
    ASSERT_EQ(smtp.messages().size(), 1u);
    auto in = ListLog(next.Incoming);
    ASSERT_EQ(in.size(), 1u);
    ExpectMail(smtp.messages()[0], fx.folder(), {in[0][4]}, "+1 555 0100");
    EXPECT_TRUE(next.PendingFiles().empty());
    EXPECT_EQ(ListLog(next.Outgoing).size(), 1u);
}

} // namespace
} // namespace quillon::server::test
