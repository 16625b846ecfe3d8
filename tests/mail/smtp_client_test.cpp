// The SMTP client against a real server: aiosmtpd on 127.0.0.1, started per test.

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "mail/smtp_client.h"
#include "mail_test_support.h"

namespace quillon::mail::test {
namespace {

namespace fs = std::filesystem;

class SmtpClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok()) << "aiosmtpd did not start (is python3-aiosmtpd installed?)";
        client.Host = "127.0.0.1";
        client.Port = server.portText();
        client.SignOn = "quillon.test";
        client.FromName = "fax@quillon.test";
        client.HdrFrom = "fax@quillon.test";
        client.HdrTo = "office@example.com";
        client.HdrSubject = "{Quillon}";
        client.SetRcptName({"office@example.com"});
    }

    // Open, Mail and Quit in a row, as quillon-sendmail and the server do.
    void openMailQuit() {
        rec.react = [this](TSmtpRequest rq, uint16_t error) {
            if (rq == srOpen && error == 0) {
                client.Mail();
            } else if (rq == srMail) {
                client.Quit();
            }
        };
        client.Open();
        ASSERT_TRUE(rec.waitDone(3));
    }

    SmtpServer server;
    TempDir tmp;
    TSmtpMimeClient client;
    Recorder rec{client};
};

TEST_F(SmtpClientTest, TwoAttachmentsArriveAsMultipartMixedWithTheirExactBytes) {
    std::string a = randomBytes(10007, 1);
    std::string b = randomBytes(45 * 7 + 2, 2);
    fs::path pa = tmp.file("A.APF", a);
    fs::path pb = tmp.file("B.APF", b);
    client.SetEmailFiles({pa.string(), "  ", pb.string()});
    ASSERT_EQ(client.EmailFiles().size(), 2u);
    client.OnProcessHeader = [](TSmtpClientBase *, std::vector<std::string> &lines) {
        lines.insert(lines.begin() + 1, "Comments: This is a test");
    };
    rec.body = {"{FaxSender}=+1 555 0100", "{FaxDate}=12/09/2026 01:05 AM"};
    openMailQuit();

    ASSERT_EQ(rec.done.size(), 3u);
    EXPECT_EQ(rec.done[0].rq, srOpen);
    EXPECT_EQ(rec.done[0].error, 0);
    EXPECT_EQ(rec.done[1].rq, srMail);
    EXPECT_EQ(rec.done[1].error, 0) << client.ErrorMessage();
    EXPECT_EQ(rec.done[2].rq, srQuit);
    EXPECT_EQ(rec.done[2].error, 0);
    std::vector<std::string> expected = {"HELO quillon.test",
                                         "MAIL FROM:<fax@quillon.test>",
                                         "RCPT TO:<office@example.com>",
                                         "DATA",
                                         ".",
                                         "QUIT"};
    EXPECT_EQ(rec.commands, expected);

    auto msgs = server.messages();
    ASSERT_EQ(msgs.size(), 1u);
    std::string raw = readFile(msgs[0]);
    // The header as it went out: the folded content type and a numeric zone in the date.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        raw, m,
        std::regex("Content-Type: multipart/mixed;\r\n\tboundary=\"(= Multipart Boundary "
                   "[0-9a-f]{32})\"\r\n")));
    std::string boundary = m[1];
    EXPECT_EQ(client.Boundary(), boundary);
    EXPECT_TRUE(std::regex_search(
        raw, std::regex("\r\nDate: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? "
                        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4}\r\n\r\n")));
    EXPECT_EQ(raw.find("From: fax@quillon.test\r\nComments: This is a test\r\nTo: "
                       "office@example.com\r\nSubject: {Quillon}\r\nMime-Version: 1.0\r\n"),
              0u);
    EXPECT_NE(raw.find("\r\n\r\nThis is a multipart MIME message.\r\n\r\n--" + boundary +
                       "\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\n"
                       "Content-Transfer-Encoding: 7bit\r\n\r\n{FaxSender}=+1 555 0100\r\n"
                       "{FaxDate}=12/09/2026 01:05 AM\r\n\r\n--" +
                       boundary +
                       "\r\nContent-Type: application/octet-stream;\r\n\tname=\"A.APF\"\r\n"
                       "Content-Transfer-Encoding: base64\r\nContent-Disposition: "
                       "attachment;\r\n\tfilename=\"A.APF\"\r\n\r\n"),
              std::string::npos);
    EXPECT_NE(raw.find("\r\n\r\n--" + boundary + "--\r\n"), std::string::npos);
    // Base64 lines hold at most 60 characters: 10007 bytes give ceil(10007/45) lines.
    size_t start = raw.find("filename=\"A.APF\"\r\n\r\n") + 20;
    size_t end = raw.find("\r\n\r\n", start);
    std::string lines = raw.substr(start, end - start);
    size_t count = 0;
    for (size_t p = 0; p <= lines.size();) {
        size_t e = lines.find("\r\n", p);
        e = e == std::string::npos ? lines.size() : e;
        EXPECT_LE(e - p, 60u);
        ++count;
        p = e + 2;
    }
    EXPECT_EQ(count, (10007u + 44) / 45);

    auto kv = checkMime(msgs[0], tmp.path());
    EXPECT_EQ(lookup(kv, "content-type"), "multipart/mixed");
    EXPECT_EQ(lookup(kv, "boundary"), boundary);
    EXPECT_EQ(lookup(kv, "comments"), "This is a test");
    EXPECT_EQ(lookup(kv, "defects"), "0");
    ASSERT_EQ(lookup(kv, "parts"), "3");
    // (Python's parser hands text lines back with bare LF.)
    EXPECT_EQ(readFile(tmp.path() / "part0.bin"),
              "{FaxSender}=+1 555 0100\n{FaxDate}=12/09/2026 01:05 AM\n");
    EXPECT_EQ(readFile(tmp.path() / "part1.bin"), a);
    EXPECT_EQ(readFile(tmp.path() / "part2.bin"), b);
    std::vector<std::string> partLines;
    for (const auto &[k, v] : kv) {
        if (k == "part") {
            partLines.push_back(v);
        }
    }
    std::vector<std::string> partsExpected = {"0 text/plain -", "1 application/octet-stream A.APF",
                                              "2 application/octet-stream B.APF"};
    EXPECT_EQ(partLines, partsExpected);
}

TEST_F(SmtpClientTest, EmptyAnd45ByteAttachmentsAndDotLinesSurviveTheTrip) {
    std::string f45 = randomBytes(45, 3);
    fs::path pe = tmp.file("empty.bin", "");
    fs::path p45 = tmp.file("f45.bin", f45);
    client.SetEmailFiles({pe.string(), p45.string()});
    rec.body = {".", ".hidden", "plain"};
    openMailQuit();
    ASSERT_EQ(rec.done.size(), 3u);
    EXPECT_EQ(rec.done[1].error, 0) << client.ErrorMessage();
    EXPECT_NE(std::find(rec.display.begin(), rec.display.end(), "> .."), rec.display.end());
    EXPECT_NE(std::find(rec.display.begin(), rec.display.end(), "> ..hidden"), rec.display.end());

    auto msgs = server.messages();
    ASSERT_EQ(msgs.size(), 1u);
    std::string raw = readFile(msgs[0]);
    // The empty file gives one empty line after its part header; 45 bytes one full line.
    EXPECT_NE(raw.find("filename=\"empty.bin\"\r\n\r\n\r\n\r\n--"), std::string::npos);
    std::regex full("filename=\"f45.bin\"\r\n\r\n([A-Za-z0-9+/]{60})\r\n\r\n--");
    EXPECT_TRUE(std::regex_search(raw, full));
    auto kv = checkMime(msgs[0], tmp.path());
    ASSERT_EQ(lookup(kv, "parts"), "3");
    EXPECT_EQ(readFile(tmp.path() / "part0.bin"), ".\n.hidden\nplain\n");
    EXPECT_EQ(readFile(tmp.path() / "part1.bin"), "");
    EXPECT_EQ(readFile(tmp.path() / "part2.bin"), f45);
}

TEST_F(SmtpClientTest, WithoutAttachmentsTheMessageStaysPlainText) {
    rec.body = {"only line"};
    openMailQuit();
    ASSERT_EQ(rec.done.size(), 3u);
    EXPECT_EQ(rec.done[1].error, 0);
    auto msgs = server.messages();
    ASSERT_EQ(msgs.size(), 1u);
    std::string raw = readFile(msgs[0]);
    EXPECT_NE(raw.find("\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\n"),
              std::string::npos);
    EXPECT_NE(raw.find("\r\n\r\nonly line\r\n"), std::string::npos);
    EXPECT_EQ(raw.find("Multipart"), std::string::npos);
}

TEST_F(SmtpClientTest, MailAfterConnectWithoutHeloGetsTheServers503) {
    rec.react = [this](TSmtpRequest rq, uint16_t error) {
        if (rq == srConnect && error == 0) {
            client.Mail();
        } else if (rq == srMail) {
            client.Quit();
        }
    };
    client.Connect();
    ASSERT_TRUE(rec.waitDone(3));
    EXPECT_EQ(rec.done[0].rq, srConnect);
    EXPECT_EQ(rec.done[0].error, 0);
    EXPECT_EQ(rec.done[1].rq, srMail);
    EXPECT_EQ(rec.done[1].error, 503);
    EXPECT_EQ(client.ErrorMessage().substr(0, 4), "503 ");
    EXPECT_EQ(rec.done[2].rq, srQuit);
    EXPECT_EQ(rec.done[2].error, 0);
}

TEST_F(SmtpClientTest, RefusedRecipientEndsMailWithItsCodeAndNoData) {
    client.SetRcptName({"refuse@example.com"});
    openMailQuit();
    ASSERT_EQ(rec.done.size(), 3u);
    EXPECT_EQ(rec.done[1].rq, srMail);
    EXPECT_EQ(rec.done[1].error, 550);
    EXPECT_EQ(client.ErrorMessage().substr(0, 4), "550 ");
    EXPECT_EQ(std::find(rec.commands.begin(), rec.commands.end(), "DATA"), rec.commands.end());
    EXPECT_EQ(rec.commands.back(), "QUIT");
    EXPECT_EQ(rec.done[2].rq, srQuit);
    EXPECT_EQ(rec.done[2].error, 0);
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(SmtpClientTest, OfSeveralRecipientsTheLastDecidesAndTheFirstRefusalIsKept) {
    client.SetRcptName({"refuse-1@example.com", "office@example.com"});
    rec.body = {"x"};
    openMailQuit();
    ASSERT_EQ(rec.done.size(), 3u);
    EXPECT_EQ(rec.done[1].error, 0);
    EXPECT_EQ(client.ErrorMessage().substr(0, 4), "550 ");
    auto msgs = server.messages();
    ASSERT_EQ(msgs.size(), 1u);
    std::string env = readFile(fs::path(msgs[0]).replace_extension(".env"));
    EXPECT_EQ(env, "fax@quillon.test\noffice@example.com\n");
}

TEST_F(SmtpClientTest, RefusedDataCommandSendsNoMessage) {
    client.FromName = "nodata@quillon.test";
    rec.body = {"never sent"};
    openMailQuit();
    ASSERT_EQ(rec.done.size(), 3u);
    EXPECT_EQ(rec.done[1].rq, srMail);
    EXPECT_EQ(rec.done[1].error, 554);
    EXPECT_EQ(std::find(rec.commands.begin(), rec.commands.end(), "."), rec.commands.end());
    EXPECT_EQ(std::find(rec.display.begin(), rec.display.end(), "> never sent"), rec.display.end());
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(SmtpClientTest, LineBreaksInOwnerValuesNeverStartLinesOfTheirOwn) {
    // A calling station's id can say anything; it flows into the subject and the body.
    std::string hostile = "+1 555\r\nBcc: victim@example.com\r\n.\r\nRSET";
    client.HdrSubject = "Fax from " + hostile;
    client.OnHeaderLine = [](TSmtpClientBase *, char *msg, int size) {
        if (std::strncmp(msg, "To: ", 4) == 0) {
            std::snprintf(msg, static_cast<size_t>(size), "%s", "To: a\nBcc: b@example.com\r");
        }
    };
    rec.body = {"{FaxSender}=" + hostile, "end"};
    openMailQuit();
    ASSERT_EQ(rec.done.size(), 3u);
    ASSERT_EQ(rec.done[1].error, 0) << client.ErrorMessage();
    auto msgs = server.messages();
    ASSERT_EQ(msgs.size(), 1u);
    std::string raw = readFile(msgs[0]);
    EXPECT_EQ(raw.find("\nBcc:"), std::string::npos);
    EXPECT_EQ(raw.find("\rBcc:"), std::string::npos);
    EXPECT_EQ(raw.find("\r\nRSET"), std::string::npos);
    EXPECT_NE(raw.find("\r\nTo: a Bcc: b@example.com \r\n"), std::string::npos);
    EXPECT_NE(raw.find("\r\n\r\n{FaxSender}=+1 555  Bcc: victim@example.com  .  RSET\r\nend\r\n"),
              std::string::npos);
    auto kv = checkMime(msgs[0], tmp.path());
    EXPECT_EQ(lookup(kv, "bcc"), "-");
    EXPECT_EQ(lookup(kv, "subject"), "Fax from +1 555  Bcc: victim@example.com  .  RSET");
}

TEST_F(SmtpClientTest, LineBreaksInAddressesNeverSplitACommand) {
    client.FromName = "fax@quillon.test>\r\nRSET\r\nMAIL FROM:<evil@example.com";
    client.SetRcptName({"office@example.com>\r\nDATA"});
    openMailQuit();
    ASSERT_EQ(rec.done.size(), 3u);
    ASSERT_GE(rec.commands.size(), 2u);
    EXPECT_EQ(rec.commands[1], "MAIL FROM:<fax@quillon.test>  RSET  MAIL FROM:<evil@example.com>");
    for (const std::string &c : rec.commands) {
        EXPECT_EQ(c.find_first_of("\r\n"), std::string::npos) << c;
    }
    // One reply per command: had RSET or DATA slipped through, the host would have
    // answered lines the client never sent as commands.
    size_t finalReplies = 0;
    for (const std::string &r : rec.responses) {
        finalReplies += r.size() > 3 && r[3] == ' ' ? 1 : 0;
    }
    EXPECT_EQ(finalReplies, rec.commands.size() + 1); // + the greeting
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(SmtpClientTest, AttachmentThatCannotBeReadToTheEndAbandonsTheMessage) {
    fs::path big = tmp.file("big.APF", randomBytes(3'000'000, 4));
    client.SetEmailFiles({big.string()});
    bool truncated = false;
    client.OnDisplay = [&](TSmtpClientBase *, const std::string &m) {
        rec.display.push_back(m);
        // The first base64 line of the file has gone out: the file now shrinks.
        if (!truncated && m.size() == 62 && m.compare(0, 2, "> ") == 0) {
            truncated = true;
            fs::resize_file(big, 1000);
        }
    };
    openMailQuit();
    ASSERT_TRUE(truncated);
    ASSERT_EQ(rec.done.size(), 3u);
    EXPECT_EQ(rec.done[1].rq, srMail);
    EXPECT_EQ(rec.done[1].error, 10053);
    EXPECT_NE(client.ErrorMessage().find("changed while it was being sent"), std::string::npos);
    EXPECT_EQ(std::find(rec.commands.begin(), rec.commands.end(), "."), rec.commands.end());
    EXPECT_EQ(rec.done[2].rq, srQuit);
    EXPECT_EQ(rec.done[2].error, 0);
    EXPECT_FALSE(client.Connected());
    // The host saw the connection end inside DATA and kept nothing.
    platform::EventLoop::current().runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(server.messages().empty());
}

TEST_F(SmtpClientTest, EmailFilesRefusesAMissingFileAndKeepsTheEarlierOnes) {
    fs::path a = tmp.file("A.APF", "abc");
    std::string missing = (tmp.path() / "nope.APF").string();
    try {
        client.SetEmailFiles({a.string(), missing, a.string()});
        FAIL() << "no exception";
    } catch (const SmtpException &e) {
        EXPECT_EQ(std::string(e.what()), "File not found '" + missing + "'");
    }
    ASSERT_EQ(client.EmailFiles().size(), 1u);
    EXPECT_EQ(client.EmailFiles()[0], a.string());
    EXPECT_THROW(client.SetEmailFiles({tmp.path().string()}), SmtpException);
}

TEST_F(SmtpClientTest, RefusalsOfOperations) {
    EXPECT_THROW(client.Helo(), SmtpException);
    try {
        client.MailFrom();
        FAIL();
    } catch (const SmtpException &e) {
        EXPECT_STREQ(e.what(), "SMTP component not connected");
    }
    client.SetRcptName({});
    try {
        client.Mail();
        FAIL();
    } catch (const SmtpException &e) {
        EXPECT_STREQ(e.what(), "RcptName list is empty");
    }
    EXPECT_EQ(client.State(), ssReady);
    client.SetRcptName({"office@example.com"});
    client.Connect();
    try {
        client.Quit();
        FAIL();
    } catch (const SmtpException &e) {
        EXPECT_STREQ(e.what(), "SMTP component not ready");
    }
    ASSERT_TRUE(rec.waitDone(1));
    EXPECT_EQ(rec.done[0].error, 0);
    try {
        client.Open();
        FAIL();
    } catch (const SmtpException &e) {
        EXPECT_STREQ(e.what(), "SMTP component already connected");
    }
}

} // namespace
} // namespace quillon::mail::test
