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
// lines, logged in vOut.qdb; capture runs again and a second call is mailed too.
TEST_F(Cycle, TwoCallsInARowEachMailed) {
    mail::test::SmtpServer smtp;
    ASSERT_TRUE(smtp.ok());
    fx.configure("127.0.0.1:" + smtp.portText(), link());
    auto sim = Call(link(), "text_std_1p.tif");
    TForm1 &form = fx.start();
    form.BitBtnBegFaxClick();
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

} // namespace
} // namespace quillon::server::test
