// The asynchronous socket on the loopback against the scripted peer, and its free
// functions.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "mail/async_socket.h"
#include "mail_test_support.h"

namespace quillon::mail::test {
namespace {

using namespace std::chrono_literals;

platform::EventLoop &loop() {
    return platform::EventLoop::current();
}

// Connects `s` to 127.0.0.1:port and pumps until the connect finished.
bool connectTo(TAsyncSocket &s, const std::string &port, std::vector<uint16_t> &connected) {
    s.OnSessionConnected = [&](TCustomAsyncSocket *, uint16_t e) { connected.push_back(e); };
    s.SetAddr("127.0.0.1");
    s.SetPort(port);
    s.Connect();
    return loop().runUntil([&] { return !connected.empty(); }, 10s);
}

TEST(AsyncSocket, LookupOfADottedAddressCompletesInsideTheCallAndANameLater) {
    TAsyncSocket s;
    std::vector<uint16_t> done;
    s.OnDnsLookupDone = [&](TCustomAsyncSocket *, uint16_t e) { done.push_back(e); };
    s.DnsLookup("127.000.0.1" + std::string()); // not dotted-quad for inet_pton: a name
    s.DnsLookup("127.0.0.1");
    // The first lookup was cancelled by the second (10004); the dotted one completed.
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0], 10004);
    EXPECT_EQ(done[1], 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    s.DnsLookup("localhost");
    EXPECT_EQ(done.size(), 2u);
    ASSERT_TRUE(loop().runUntil([&] { return done.size() == 3; }, 10s));
    EXPECT_EQ(done[2], 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_FALSE(s.DnsResultList().empty());
}

TEST(AsyncSocket, EmptyLookupReportsThroughOnErrorOrRaises) {
    TAsyncSocket s;
    EXPECT_THROW(s.DnsLookup(""), ESocketException);
    std::vector<uint16_t> done;
    int errors = 0;
    s.OnError = [&](TCustomAsyncSocket *) { ++errors; };
    s.OnDnsLookupDone = [&](TCustomAsyncSocket *, uint16_t e) { done.push_back(e); };
    s.DnsLookup("");
    EXPECT_EQ(errors, 1);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0], 10022);
}

TEST(AsyncSocket, SendTakenAtOnceStillReportsOnDataSentFromTheLoop) {
    RawServer server({"send:hello", "bytes:5", "eof"});
    ASSERT_TRUE(server.ok());
    TAsyncSocket s;
    std::vector<std::pair<TSocketState, TSocketState>> states;
    s.OnChangeState = [&](TCustomAsyncSocket *, TSocketState a, TSocketState b) {
        states.emplace_back(a, b);
    };
    // Installed first: without a handler, arriving bytes are read and discarded.
    std::string got;
    s.OnDataAvailable = [&](TCustomAsyncSocket *sock, uint16_t) { got += sock->ReceiveStr(); };
    std::vector<uint16_t> connected;
    ASSERT_TRUE(connectTo(s, server.portText(), connected));
    EXPECT_EQ(connected[0], 0);
    EXPECT_EQ(s.State(), wsConnected);
    int sent = 0;
    s.OnDataSent = [&](TCustomAsyncSocket *, uint16_t) { ++sent; };
    EXPECT_EQ(s.SendStr("abcde"), 5);
    EXPECT_EQ(sent, 0);
    ASSERT_TRUE(loop().runUntil([&] { return sent == 1; }, 5s));
    ASSERT_TRUE(loop().runUntil([&] { return got == "hello"; }, 5s));
    s.Close();
    EXPECT_EQ(s.State(), wsClosed);
    ASSERT_TRUE(server.waitExit());
    EXPECT_EQ(server.received(), "abcde");
    std::vector<std::pair<TSocketState, TSocketState>> want = {{wsClosed, wsOpened},
                                                               {wsOpened, wsConnecting},
                                                               {wsConnecting, wsConnected},
                                                               {wsConnected, wsClosed}};
    EXPECT_EQ(states, want);
}

TEST(AsyncSocket, ALargeSendIsQueuedAndDeliveredWholeWhileThePeerIsSlow) {
    RawServer server({"sleep:0.5", "eof"});
    ASSERT_TRUE(server.ok());
    TAsyncSocket s;
    std::vector<uint16_t> connected;
    ASSERT_TRUE(connectTo(s, server.portText(), connected));
    // A fixed send buffer stops the kernel's growing it to several megabytes, so a few
    // megabytes are more than the kernel can hold while the peer sleeps (this buffer plus
    // the peer's initial receive window) without making the test measure the peer.
    int sendBuffer = 64 * 1024;
    ASSERT_EQ(0, ::setsockopt(s.Handle(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer));
    constexpr int kSize = 4'000'000;
    std::string data = randomBytes(kSize, 5);
    int sent = 0;
    s.OnDataSent = [&](TCustomAsyncSocket *, uint16_t) { ++sent; };
    EXPECT_EQ(s.Send(data.data(), kSize), kSize);
    EXPECT_FALSE(s.AllSent()); // the kernel could not take it all at once
    ASSERT_TRUE(loop().runUntil([&] { return sent > 0; }, 20s));
    EXPECT_EQ(sent, 1);
    s.Close();
    ASSERT_TRUE(server.waitExit());
    EXPECT_TRUE(server.received() == data);
}

TEST(AsyncSocket, PeerCloseDeliversUnreadDataFirstAndOneSessionClosed) {
    RawServer server({"send:last words", "close"});
    ASSERT_TRUE(server.ok());
    TAsyncSocket s;
    std::vector<std::string> events;
    s.OnDataAvailable = [&](TCustomAsyncSocket *sock, uint16_t) {
        char buf[4];
        int n = sock->Receive(buf, sizeof buf); // small reads: called again while data waits
        if (n > 0) {
            events.push_back("data:" + std::string(buf, static_cast<size_t>(n)));
        }
    };
    s.OnSessionClosed = [&](TCustomAsyncSocket *, uint16_t e) {
        events.push_back("closed:" + std::to_string(e));
    };
    std::vector<uint16_t> connected;
    ASSERT_TRUE(connectTo(s, server.portText(), connected));
    ASSERT_TRUE(loop().runUntil([&] { return s.State() == wsClosed; }, 10s));
    std::string data;
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        ASSERT_EQ(events[i].substr(0, 5), "data:");
        data += events[i].substr(5);
    }
    EXPECT_EQ(data, "last words");
    EXPECT_EQ(events.back(), "closed:0");
    s.Close();
    loop().runUntil([] { return false; }, 100ms);
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string &e) { return e.rfind("closed", 0) == 0; }),
              1);
}

TEST(AsyncSocket, RefusedConnectReportsTheErrorAndEndsClosed) {
    TAsyncSocket s;
    std::vector<uint16_t> connected;
    int closed = 0;
    s.OnSessionClosed = [&](TCustomAsyncSocket *, uint16_t) { ++closed; };
    ASSERT_TRUE(connectTo(s, "1", connected));
    EXPECT_EQ(connected[0], 10061);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Handle(), -1);
}

TEST(AsyncSocket, PropertiesAreRefusedWhileNotClosed) {
    RawServer server({"eof"});
    ASSERT_TRUE(server.ok());
    TAsyncSocket s;
    std::vector<uint16_t> connected;
    ASSERT_TRUE(connectTo(s, server.portText(), connected));
    try {
        s.SetPort("25");
        FAIL();
    } catch (const ESocketException &e) {
        EXPECT_STREQ(e.what(), "Cannot change Port if not closed");
    }
    try {
        s.Connect();
        FAIL();
    } catch (const ESocketException &e) {
        EXPECT_STREQ(e.what(), "Connect: Socket already in use");
    }
    s.Abort();
    EXPECT_EQ(s.State(), wsClosed);
    // Closing forgets Addr and Port: both must be assigned again.
    try {
        s.Connect();
        FAIL();
    } catch (const ESocketException &e) {
        EXPECT_STREQ(e.what(), "Connect: No Port Specified");
    }
    try {
        s.Send("x", 1);
        FAIL();
    } catch (const ESocketException &e) {
        EXPECT_EQ(std::string(e.what()), "Error 10057 in function Send\r\nSocket is not connected");
    }
    EXPECT_EQ(s.LastError(), 10057);
}

TEST(SocketFunctions, ResolutionAndDescriptions) {
    EXPECT_EQ(SocketErrorDesc(0), "No Error");
    EXPECT_EQ(SocketErrorDesc(11001), "Host not found");
    EXPECT_EQ(SocketErrorDesc(10061), "Connection refused");
    EXPECT_EQ(SocketErrorDesc(12345), "Not a WinSock error");
    EXPECT_EQ(SocketResolvePort("smtp", "tcp"), 25);
    EXPECT_EQ(SocketResolvePort("2525x", "tcp"), 2525);
    EXPECT_EQ(SocketResolveProto("tcp"), 6);
    EXPECT_EQ(SocketResolveProto("17"), 17);
    EXPECT_EQ(SocketResolveHost("127.0.0.1"), SocketResolveHost("localhost"));
    EXPECT_EQ(SocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    auto message = [](auto fn) {
        try {
            fn();
        } catch (const ESocketException &e) {
            return std::string(e.what());
        }
        return std::string("no exception");
    };
    EXPECT_EQ(message([] { SocketResolvePort("", "tcp"); }), "SocketResolvePort: Invalid Port.");
    EXPECT_EQ(message([] { SocketResolvePort(std::string(32, '1'), "tcp"); }),
              "SocketResolvePort: Invalid Port.");
    EXPECT_EQ(message([] { SocketResolvePort("nosuchservice", "tcp"); }),
              "SocketResolvePort: Cannot convert port 'nosuchservice'");
    EXPECT_EQ(message([] { SocketResolvePort("70000", "tcp"); }),
              "SocketResolvePort: Cannot convert port '70000'");
    EXPECT_EQ(message([] { SocketResolveProto(""); }), "SocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(message([] { SocketResolveProto("nosuchproto"); }),
              "SocketResolveProto: Cannot convert protocol 'nosuchproto'");
    EXPECT_EQ(message([] { SocketResolveHost(""); }), "SocketResolveHost: Invalid Hostname.");
    EXPECT_EQ(message([] { SocketResolveHost("no-such-host.invalid"); }),
              "SocketResolveHost: Cannot convert host address 'no-such-host.invalid'");
    EXPECT_FALSE(LocalHostName().empty());
}

TEST(SocketFunctions, SendBufferSegments) {
    TBuffer b(0);
    EXPECT_EQ(b.BufSize(), 1514);
    std::string big(2000, 'x');
    EXPECT_EQ(b.Write(big.data(), 2000), 1514);
    int len = 0;
    b.Remove(1000);
    const char *p = b.Peek(len);
    EXPECT_EQ(len, 514);
    EXPECT_NE(p, nullptr);
    b.Remove(9999);
    EXPECT_EQ(b.Peek(len), nullptr);
    EXPECT_EQ(b.WrCount(), 0); // all sent: the segment can be filled again
}

} // namespace
} // namespace quillon::mail::test
