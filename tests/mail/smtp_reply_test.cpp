// The SMTP client against a scripted peer, for greetings, reply shapes and failures that
// no real server produces on demand.

#include <gtest/gtest.h>

#include "mail/smtp_client.h"
#include "mail_test_support.h"

namespace quillon::mail::test {
namespace {

using namespace std::chrono_literals;

struct Scripted {
    explicit Scripted(const std::vector<std::string> &steps) : server(steps) {
        client.Host = "127.0.0.1";
        client.Port = server.portText();
        client.SignOn = "quillon.test";
        client.FromName = "f@x";
        client.SetRcptName({"r@x"});
    }
    RawServer server;
    TSmtpMimeClient client;
    Recorder rec{client};
};

TEST(SmtpReplies, ContinuationLinesAndRepliesSplitAcrossReads) {
    Scripted s({"send:220-first\\r\\n", "sleep:0.1", "send:220-second\\r\\n220 last\\r\\n", "line",
                "send:25", "sleep:0.2", "send:0-hello\\r\\n250 more\\r\\n", "line",
                "send:250 sender ok\\r\\n", "line", "send:250 rcpt ok\\r\\n", "line",
                "send:354 go ahead\\r\\n", "until:.", "send:250 queued\\r\\n", "line",
                "send:221 bye\\r\\n", "close"});
    ASSERT_TRUE(s.server.ok());
    s.rec.body = {".", ".hidden", "a.b"};
    size_t responsesAtOpen = 0;
    s.rec.react = [&](TSmtpRequest rq, uint16_t error) {
        if (rq == srOpen && error == 0) {
            responsesAtOpen = s.rec.responses.size();
            s.client.Mail();
        } else if (rq == srMail) {
            s.client.Quit();
        }
    };
    s.client.Open();
    ASSERT_TRUE(s.rec.waitDone(3));
    ASSERT_TRUE(s.server.waitExit());
    EXPECT_EQ(s.rec.done[0].error, 0);
    EXPECT_EQ(s.rec.done[1].rq, srMail);
    EXPECT_EQ(s.rec.done[1].error, 0) << s.client.ErrorMessage();
    EXPECT_EQ(s.rec.done[2].error, 0);
    // Three greeting lines, then the two-line HELO reply whose first line came in two reads;
    // Open completed only on the last line.
    EXPECT_EQ(responsesAtOpen, 5u);
    std::vector<std::string> first(s.rec.responses.begin(), s.rec.responses.begin() + 5);
    std::vector<std::string> want = {"220-first", "220-second", "220 last", "250-hello",
                                     "250 more"};
    EXPECT_EQ(first, want);
    EXPECT_EQ(s.client.LastResponse(), "221 bye");
    std::string wire = s.server.received();
    EXPECT_EQ(wire.find("HELO quillon.test\r\nMAIL FROM:<f@x>\r\nRCPT TO:<r@x>\r\nDATA\r\n"), 0u);
    EXPECT_NE(wire.find("\r\n\r\n..\r\n..hidden\r\na.b\r\n.\r\nQUIT\r\n"), std::string::npos);
}

TEST(SmtpReplies, GreetingOtherThan220ClosesAndReports10004) {
    Scripted s({"send:554 no service here\\r\\n", "eof"});
    ASSERT_TRUE(s.server.ok());
    s.client.Connect();
    ASSERT_TRUE(s.rec.waitDone(1));
    EXPECT_EQ(s.rec.done[0].rq, srConnect);
    EXPECT_EQ(s.rec.done[0].error, 10004);
    EXPECT_EQ(s.client.ErrorMessage(), "554 no service here");
    EXPECT_FALSE(s.client.Connected());
    EXPECT_TRUE(s.server.waitExit()); // the client closed its side
}

TEST(SmtpReplies, OverlongReplyLineIsAProtocolError) {
    for (const char *tail : {"", "\\r\\n"}) {
        Scripted s({"send:220 " + std::string(5000, 'x') + tail, "eof"});
        ASSERT_TRUE(s.server.ok());
        s.client.Connect();
        ASSERT_TRUE(s.rec.waitDone(1));
        EXPECT_EQ(s.rec.done[0].error, 10040) << "tail '" << tail << "'";
        EXPECT_EQ(s.client.LastResponse(), "500 Message too long (Winsock error #10040)");
        EXPECT_FALSE(s.client.Connected());
        EXPECT_TRUE(s.server.waitExit());
    }
}

TEST(SmtpReplies, ReplyWithoutACodeIsNeverSuccess) {
    Scripted s({"send:220 hi\\r\\n", "line", "send:250 hello\\r\\n", "line",
                "send:sure thing\\r\\n", "line", "send:221 bye\\r\\n", "eof"});
    ASSERT_TRUE(s.server.ok());
    s.rec.react = [&](TSmtpRequest rq, uint16_t error) {
        if (rq == srOpen && error == 0) {
            s.client.Mail();
        } else if (rq == srMail) {
            s.client.Quit();
        }
    };
    s.client.Open();
    ASSERT_TRUE(s.rec.waitDone(3));
    EXPECT_EQ(s.rec.done[1].rq, srMail);
    EXPECT_EQ(s.rec.done[1].error, 500);
    EXPECT_EQ(s.client.ErrorMessage(), "sure thing");
}

TEST(SmtpReplies, HostClosingDuringDataGives10004) {
    TempDir tmp;
    auto file = tmp.file("big.APF", randomBytes(4'000'000, 9));
    Scripted s({"send:220 hi\\r\\n", "line", "send:250 a\\r\\n", "line", "send:250 b\\r\\n", "line",
                "send:354 go\\r\\n", "bytes:20000", "close"});
    ASSERT_TRUE(s.server.ok());
    s.client.SetEmailFiles({file.string()});
    s.rec.react = [&](TSmtpRequest rq, uint16_t) {
        if (rq == srConnect) {
            s.client.Mail();
        }
    };
    s.client.Connect();
    ASSERT_TRUE(s.rec.waitDone(2));
    EXPECT_EQ(s.rec.done[1].rq, srMail);
    EXPECT_EQ(s.rec.done[1].error, 10004);
    EXPECT_FALSE(s.client.Connected());
    s.client.Quit(); // not connected: completes at once, from the loop
    EXPECT_EQ(s.rec.done.size(), 2u);
    ASSERT_TRUE(s.rec.waitDone(3));
    EXPECT_EQ(s.rec.done[2].rq, srQuit);
    EXPECT_EQ(s.rec.done[2].error, 0);
}

TEST(SmtpReplies, SilentHostTimesOutWith10060) {
    Scripted s({"eof"});
    ASSERT_TRUE(s.server.ok());
    s.client.Timeout = 300;
    auto start = std::chrono::steady_clock::now();
    s.client.Connect();
    ASSERT_TRUE(s.rec.waitDone(1, 5s));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(s.rec.done[0].rq, srConnect);
    EXPECT_EQ(s.rec.done[0].error, 10060);
    EXPECT_GE(took, 290ms);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(s.client.LastResponse(), "500 Connection timed out (Winsock error #10060)");
    EXPECT_FALSE(s.client.Connected());
    EXPECT_TRUE(s.server.waitExit()); // the connection was closed
}

TEST(SmtpReplies, HostThatStopsReadingDuringDataTimesOut) {
    TempDir tmp;
    auto file = tmp.file("big.APF", randomBytes(12'000'000, 11));
    Scripted s({"send:220 hi\\r\\n", "line", "send:250 a\\r\\n", "line", "send:250 b\\r\\n", "line",
                "send:354 go\\r\\n", "bytes:1000", "sleep:4"});
    ASSERT_TRUE(s.server.ok());
    s.client.Timeout = 500;
    s.client.SetEmailFiles({file.string()});
    s.rec.react = [&](TSmtpRequest rq, uint16_t) {
        if (rq == srConnect) {
            s.client.Mail();
        }
    };
    s.client.Connect();
    ASSERT_TRUE(s.rec.waitDone(2, 10s));
    EXPECT_EQ(s.rec.done[1].rq, srMail);
    EXPECT_EQ(s.rec.done[1].error, 10060);
    EXPECT_FALSE(s.client.Connected());
    EXPECT_EQ(std::find(s.rec.commands.begin(), s.rec.commands.end(), "."), s.rec.commands.end());
}

TEST(SmtpReplies, UnansweredCommandTimesOutInsideOpen) {
    Scripted s({"send:220 hi\\r\\n", "line", "eof"});
    ASSERT_TRUE(s.server.ok());
    s.client.Timeout = 300;
    s.client.Open();
    ASSERT_TRUE(s.rec.waitDone(1, 5s));
    EXPECT_EQ(s.rec.done[0].rq, srOpen);
    EXPECT_EQ(s.rec.done[0].error, 10060);
    EXPECT_TRUE(s.server.waitExit());
    // Nothing else arrives later for the abandoned request.
    platform::EventLoop::current().runUntil([] { return false; }, 400ms);
    EXPECT_EQ(s.rec.done.size(), 1u);
}

TEST(SmtpReplies, AbortEndsTheOutstandingRequestWith10004) {
    Scripted s({"send:220 hi\\r\\n", "line", "eof"});
    ASSERT_TRUE(s.server.ok());
    s.rec.react = [&](TSmtpRequest rq, uint16_t) {
        if (rq == srConnect) {
            s.client.Helo();
            s.client.Abort();
        }
    };
    s.client.Connect();
    ASSERT_TRUE(s.rec.waitDone(2));
    EXPECT_EQ(s.rec.done[1].rq, srHelo);
    EXPECT_EQ(s.rec.done[1].error, 10004);
    EXPECT_EQ(s.client.State(), ssReady);
    EXPECT_TRUE(s.server.waitExit());
}

TEST(SmtpConnect, RefusedConnectGives10061AndNoConnection) {
    // Port 1 on the loopback: nothing listens there.
    TSmtpMimeClient client;
    Recorder rec(client);
    client.Host = "127.0.0.1";
    client.Port = "1";
    client.Connect();
    EXPECT_TRUE(rec.done.empty());
    ASSERT_TRUE(rec.waitDone(1));
    EXPECT_EQ(rec.done[0].rq, srConnect);
    EXPECT_EQ(rec.done[0].error, 10061);
    EXPECT_EQ(client.LastResponse(), "500 Connection refused (Winsock error #10061)");
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.Socket().State(), wsClosed);
    EXPECT_EQ(client.State(), ssReady);
}

TEST(SmtpConnect, UnknownHostGives11001) {
    TSmtpMimeClient client;
    Recorder rec(client);
    client.Host = "no-such-host.invalid";
    client.Connect();
    EXPECT_TRUE(rec.done.empty());
    EXPECT_EQ(client.State(), ssDnsLookup);
    ASSERT_TRUE(rec.waitDone(1));
    EXPECT_EQ(rec.done[0].rq, srConnect);
    EXPECT_EQ(rec.done[0].error, 11001);
    EXPECT_EQ(client.LastResponse(), "500 Host not found (Winsock error #11001)");
    EXPECT_EQ(client.StatusCode(), 500);
    EXPECT_FALSE(client.Connected());
}

TEST(SmtpConnect, MissingHostOrBadPortEndTheRequestInsteadOfHanging) {
    TSmtpMimeClient client;
    Recorder rec(client);
    client.Connect(); // no Host
    ASSERT_TRUE(rec.waitDone(1));
    EXPECT_EQ(rec.done[0].error, 10022);
    EXPECT_EQ(client.State(), ssReady);
    client.Host = "127.0.0.1";
    client.Port = "no-such-service";
    client.Connect();
    ASSERT_TRUE(rec.waitDone(2));
    EXPECT_EQ(rec.done[1].error, 10022);
    EXPECT_EQ(client.State(), ssReady);
}

TEST(SmtpConnect, QuitWhenNotConnectedCompletesFromTheLoop) {
    TSmtpMimeClient client;
    Recorder rec(client);
    client.Quit();
    EXPECT_TRUE(rec.done.empty()); // never inside the call
    ASSERT_TRUE(rec.waitDone(1));
    EXPECT_EQ(rec.done[0].rq, srQuit);
    EXPECT_EQ(rec.done[0].error, 0);
}

} // namespace
} // namespace quillon::mail::test
