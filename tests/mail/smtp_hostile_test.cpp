// The SMTP client and quillon-sendmail against hosts that break the conversation: replies
// sent ahead of their command, replies that never end, and bodies built to break the
// message apart. Each host is a real process on 127.0.0.1.

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/wait.h>

#include "mail_test_support.h"

namespace quillon::mail::test {
namespace {

using namespace std::chrono_literals;

struct Hostile {
    explicit Hostile(const std::vector<std::string> &steps) : server(steps) {
        client.Host = "127.0.0.1";
        client.Port = server.portText();
        client.SignOn = "quillon.test";
        client.FromName = "f@x";
        client.SetRcptName({"r@x"});
        rec.react = [this](TSmtpRequest rq, uint16_t error) {
            if (rq == srOpen && error == 0) {
                client.Mail();
            }
        };
    }
    // Runs Open then Mail; the error of the request that ended the exchange.
    uint16_t run() {
        client.Open();
        if (!rec.waitDone(1, 30s)) {
            return 0xFFFF;
        }
        if (rec.done[0].error != 0) {
            return rec.done[0].error;
        }
        if (!rec.waitDone(2, 30s)) {
            return 0xFFFF;
        }
        return rec.done[1].error;
    }
    bool sent(const std::string &cmd) const {
        return std::find(rec.commands.begin(), rec.commands.end(), cmd) != rec.commands.end();
    }
    RawServer server;
    TSmtpMimeClient client;
    Recorder rec{client};
};

const std::vector<std::string> kUpToData = {
    "send:220 hi\\r\\n",     "line", "send:250 hello\\r\\n", "line",
    "send:250 sender\\r\\n", "line", "send:250 rcpt\\r\\n",  "line"};

std::vector<std::string> upToData(std::vector<std::string> tail) {
    std::vector<std::string> steps = kUpToData;
    steps.insert(steps.end(), tail.begin(), tail.end());
    return steps;
}

TEST(SmtpHostile, ReplyAheadOfItsCommandIsNeverTakenAsItsAnswer) {
    TempDir tmp;
    auto big = tmp.file("big.APF", randomBytes(12'000'000, 5));
    struct Case {
        const char *what;
        std::vector<std::string> steps;
        bool attach;
    };
    const Case cases[] = {
        {"354 and 250 together, 554 after the dot",
         upToData(
             {"send:354 go\\r\\n250 queued\\r\\n", "until:.", "send:554 refused\\r\\n", "eof"}),
         false},
        {"the same while a long message is still being sent",
         upToData(
             {"send:354 go\\r\\n250 queued\\r\\n", "until:.", "send:554 refused\\r\\n", "eof"}),
         true},
        {"the reply to DATA'S dot sent while the data flows",
         upToData({"send:354 go\\r\\n", "bytes:2000", "send:250 queued\\r\\n", "until:.",
                   "send:554 refused\\r\\n", "eof"}),
         true},
        {"the replies to MAIL FROM and RCPT TO in one write",
         {"send:220 hi\\r\\n", "line", "send:250 hello\\r\\n", "line",
          "send:250 sender\\r\\n250 rcpt\\r\\n", "line", "line", "send:354 go\\r\\n", "until:.",
          "send:250 queued\\r\\n", "eof"},
         false},
        {"a second greeting line after the final one",
         {"send:220 hi\\r\\n250 hello\\r\\n", "line", "send:250 sender\\r\\n", "eof"},
         false},
    };
    for (const Case &c : cases) {
        Hostile h(c.steps);
        ASSERT_TRUE(h.server.ok());
        if (c.attach) {
            h.client.SetEmailFiles({big.string()});
        }
        h.rec.body = {"line one"};
        EXPECT_EQ(h.run(), 10053) << c.what << ": " << h.client.ErrorMessage();
        EXPECT_NE(h.client.ErrorMessage().find("before its command"), std::string::npos) << c.what;
        EXPECT_FALSE(h.client.Connected()) << c.what;
        EXPECT_TRUE(h.server.waitExit()) << c.what;
    }
}

TEST(SmtpHostile, TrickledReplyEndsWithinTheTimeout) {
    // Continuation lines every 0.2 s for 12 s: each byte is progress, but the reply as a
    // whole takes far longer than the 1 s time-out.
    std::vector<std::string> steps = {"send:220 hi\\r\\n", "line"};
    for (int i = 0; i < 60; ++i) {
        steps.push_back("send:250-still talking\\r\\n");
        steps.push_back("sleep:0.2");
    }
    steps.push_back("send:250 hello\\r\\n");
    steps.push_back("eof");
    Hostile h(steps);
    ASSERT_TRUE(h.server.ok());
    h.client.Timeout = 1000;
    EXPECT_EQ(h.run(), 10060);
    EXPECT_EQ(h.rec.done[0].rq, srOpen);
    EXPECT_FALSE(h.client.Connected());
}

TEST(SmtpHostile, ReplyOfEndlessContinuationLinesIsRefused) {
    std::string flood;
    for (int i = 0; i < 150; ++i) {
        flood += "250-more\\r\\n";
    }
    Hostile h({"send:220 hi\\r\\n", "line", "send:" + flood + "250 hello\\r\\n", "eof"});
    ASSERT_TRUE(h.server.ok());
    EXPECT_EQ(h.run(), 10040);
    EXPECT_EQ(h.rec.done[0].rq, srOpen);
    EXPECT_LE(h.rec.responses.size(), 102u);
}

TEST(SmtpHostile, BodyLineHoldingTheBoundaryAbandonsTheMessage) {
    TempDir tmp;
    auto file = tmp.file("page.APF", randomBytes(500, 3));
    SmtpServer server;
    ASSERT_TRUE(server.ok());
    TSmtpMimeClient client;
    client.Host = "127.0.0.1";
    client.Port = server.portText();
    client.FromName = "f@x";
    client.SetRcptName({"r@x"});
    client.SetEmailFiles({file.string()});
    Recorder rec(client);
    std::vector<std::string> boundaries;
    client.OnGetData = [&](TSmtpClientBase *, int lineNum, char *line, int maxLen, bool &more) {
        // The body quotes the boundary of the message it is sent in.
        std::string text = lineNum == 1 ? "--" + client.Boundary() : "";
        boundaries.push_back(client.Boundary());
        std::snprintf(line, static_cast<size_t>(maxLen), "%s", text.c_str());
        more = lineNum == 1;
    };
    rec.react = [&](TSmtpRequest rq, uint16_t error) {
        if (rq == srOpen && error == 0) {
            client.Mail();
        } else if (rq == srMail) {
            client.Quit();
        }
    };
    client.Open();
    ASSERT_TRUE(rec.waitDone(3));
    EXPECT_EQ(rec.done[1].rq, srMail);
    EXPECT_EQ(rec.done[1].error, 10053);
    EXPECT_NE(client.ErrorMessage().find("MIME boundary"), std::string::npos);
    EXPECT_TRUE(server.messages().empty());
    // Each message has a boundary of its own that the clock does not give away.
    std::string a = TSmtpMimeClient::NewBoundary();
    std::string b = TSmtpMimeClient::NewBoundary();
    EXPECT_NE(a, b);
    ASSERT_FALSE(boundaries.empty());
    EXPECT_NE(boundaries[0], a);
    EXPECT_EQ(a.size(), b.size());
}

int runTool(const std::vector<std::string> &args, std::string *err = nullptr) {
    TempDir tmp;
    std::string cmd = QUILLON_SENDMAIL;
    for (const std::string &a : args) {
        cmd += " '" + a + "'";
    }
    cmd += " 2>" + (tmp.path() / "err").string();
    int status = std::system(cmd.c_str());
    if (err != nullptr) {
        *err = readFile(tmp.path() / "err");
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SendmailHostile, LongBodyLineArrivesWholeAndBadTimeoutsAreRefused) {
    SmtpServer server;
    ASSERT_TRUE(server.ok());
    std::string longLine;
    for (int i = 0; i < 3000; ++i) {
        longLine += static_cast<char>('a' + i % 26);
    }
    ASSERT_EQ(runTool({"--host", "127.0.0.1", "--port", server.portText(), "--from", "a@x", "--to",
                       "b@x", "--line", longLine, "--line", "after"}),
              0);
    auto msgs = server.messages();
    ASSERT_EQ(msgs.size(), 1u);
    std::string raw = readFile(msgs[0]);
    size_t bodyAt = raw.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos);
    std::string body = raw.substr(bodyAt + 4);
    size_t longest = 0;
    std::string joined;
    for (size_t at = 0; at < body.size();) {
        size_t end = body.find("\r\n", at);
        end = end == std::string::npos ? body.size() : end;
        longest = std::max(longest, end - at);
        joined += body.substr(at, end - at);
        at = end + 2;
    }
    EXPECT_LE(longest, 998u);
    EXPECT_EQ(joined, longLine + "after");

    for (const char *bad : {"0", "abc", "5x", "-3", "99999999999999999999", "4294968", ""}) {
        std::string err;
        EXPECT_EQ(runTool({"--host", "127.0.0.1", "--port", server.portText(), "--from", "a@x",
                           "--to", "b@x", "--timeout", bad},
                          &err),
                  1)
            << bad;
        EXPECT_NE(err.find("--timeout"), std::string::npos) << bad << ": " << err;
    }
    EXPECT_EQ(server.messages().size(), 1u);
}

} // namespace
} // namespace quillon::mail::test
