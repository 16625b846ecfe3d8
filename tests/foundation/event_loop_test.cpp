#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace quillon::platform;
using namespace std::chrono_literals;

namespace {

// A target that records every message number it handles.
struct Recorder {
    std::vector<uint32_t> seen;
    MessageTarget target{[this](Message &m) -> std::optional<LResult> {
        seen.push_back(m.number);
        return static_cast<LResult>(m.wParam * 2);
    }};
};

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

} // namespace

TEST(EventLoop, PostedMessagesRunLaterInOrderOnTheOwningThread) {
    Recorder r;
    for (uint32_t i = 1; i <= 100; ++i) {
        r.target.post(kWmUser + i);
    }
    EXPECT_TRUE(r.seen.empty()) << "a post must never run inside the call";
    EXPECT_TRUE(readable(EventLoop::current().fd()));
    EventLoop::current().pump();
    ASSERT_EQ(r.seen.size(), 100u);
    for (uint32_t i = 0; i < 100; ++i) {
        EXPECT_EQ(r.seen[i], kWmUser + i + 1);
    }
    EXPECT_FALSE(readable(EventLoop::current().fd()));
}

TEST(EventLoop, PostsFromManyThreadsKeepEachThreadsOrder) {
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    MessageTarget t([&](Message &m) -> std::optional<LResult> {
        seen.emplace_back(m.number, static_cast<uint32_t>(m.wParam));
        return 0;
    });
    auto handle = t.handle();
    std::vector<std::thread> threads;
    for (uint32_t th = 0; th < 4; ++th) {
        threads.emplace_back([handle, th] {
            for (uint32_t i = 0; i < 2000; ++i) {
                handle.post(th, i);
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    EventLoop::current().runUntil([&] { return seen.size() == 8000; }, 5s);
    ASSERT_EQ(seen.size(), 8000u);
    uint32_t next[4] = {0, 0, 0, 0};
    for (auto [th, i] : seen) {
        EXPECT_EQ(i, next[th]++);
    }
}

TEST(EventLoop, PostedDuringPumpWaitsForTheNextPump) {
    int count = 0;
    MessageTarget *self = nullptr;
    MessageTarget t([&](Message &) -> std::optional<LResult> {
        ++count;
        self->post(kWmUser); // re-posts itself forever
        return 0;
    });
    self = &t;
    t.post(kWmUser);
    EventLoop::current().pump();
    EXPECT_EQ(count, 1) << "pump must return instead of chasing its own posts";
    EventLoop::current().pump();
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(readable(EventLoop::current().fd()));
}

TEST(EventLoop, SendFromAnotherThreadRunsOnTheOwnerAndReturnsTheResult) {
    std::thread::id handlerThread;
    MessageTarget t([&](Message &m) -> std::optional<LResult> {
        handlerThread = std::this_thread::get_id();
        return static_cast<LResult>(m.wParam + 1);
    });
    std::optional<LResult> result;
    std::thread sender([&, h = t.handle()] { result = h.send(kWmUser, 41, 0, 2000ms); });
    EventLoop::current().runUntil([&] { return result.has_value(); }, 3s);
    sender.join();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 42);
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
}

TEST(EventLoop, SendOnTheOwningThreadIsADirectCall) {
    Recorder r;
    auto result = r.target.send(kWmUser + 7, 5, 0, 0ms);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 10);
    EXPECT_EQ(r.seen, std::vector<uint32_t>{kWmUser + 7});
}

TEST(EventLoop, SendThatTimesOutLetsTheHandlerRunLaterOnItsPayload) {
    // The handler runs after the sender has given up and its stack frame is gone; what it
    // reads travels in the payload, which stays alive (AddressSanitizer would catch a use
    // of the sender's stack).
    std::string seenText;
    bool gaveUp = false;
    MessageTarget t([&](Message &m) -> std::optional<LResult> {
        gaveUp = m.senderGaveUp();
        seenText = *m.payloadAs<std::string>();
        return 1;
    });
    std::optional<LResult> result{99};
    auto timedOutBefore = EventLoop::current().stats().timedOut;
    auto started = std::chrono::steady_clock::now();
    std::thread sender([&, h = t.handle()] {
        auto text = std::make_shared<std::string>("status of page 3");
        result = h.send(kWmUser, 0, 0, 100ms, text);
    });
    sender.join(); // nobody pumps: the send must give up by itself
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(result.has_value());
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 1000ms);
    EventLoop::current().pump();
    EXPECT_TRUE(gaveUp);
    EXPECT_EQ(seenText, "status of page 3");
    EXPECT_EQ(EventLoop::current().stats().timedOut, timedOutBefore + 1);
}

TEST(EventLoop, MessagesToADestroyedTargetAreDropped) {
    int handled = 0;
    TargetHandle handle;
    {
        MessageTarget t([&](Message &) -> std::optional<LResult> {
            ++handled;
            return 0;
        });
        handle = t.handle();
        t.post(kWmUser);
        EXPECT_TRUE(handle.alive());
    }
    EXPECT_FALSE(handle.alive());
    EXPECT_FALSE(handle.post(kWmUser));
    EventLoop::current().pump();
    EXPECT_EQ(handled, 0);
    // A sender waiting on a target that goes away is released at once.
    std::optional<LResult> result{1};
    std::thread sender([&] { result = handle.send(kWmUser, 0, 0, 5000ms); });
    sender.join();
    EXPECT_FALSE(result.has_value());
}

TEST(EventLoop, DestroyingATargetInsideItsOwnHandlerIsSafe) {
    std::unique_ptr<MessageTarget> holder;
    int handled = 0;
    holder = std::make_unique<MessageTarget>([&](Message &) -> std::optional<LResult> {
        ++handled;
        holder.reset();
        return 0;
    });
    holder->post(kWmUser);
    holder->post(kWmUser);
    EventLoop::current().pump();
    EXPECT_EQ(handled, 1);
}

TEST(EventLoop, PumpIsReentrant) {
    std::vector<int> order;
    MessageTarget *self = nullptr;
    MessageTarget t([&](Message &m) -> std::optional<LResult> {
        order.push_back(static_cast<int>(m.wParam));
        if (m.wParam == 1) {
            // A long operation pumping inside a handler sees the messages queued after it.
            EventLoop::current().pump();
            order.push_back(-1);
        }
        return 0;
    });
    self = &t;
    self->post(kWmUser, 1);
    self->post(kWmUser, 2);
    self->post(kWmUser, 3);
    EventLoop::current().pump();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, -1}));
}

TEST(EventLoop, UnknownNumbersGetTheDefaultHandling) {
    MessageTarget t([](Message &m) -> std::optional<LResult> {
        if (m.number == kWmUser) {
            return 5;
        }
        return std::nullopt;
    });
    auto defaultedBefore = EventLoop::current().stats().defaulted;
    EXPECT_EQ(t.send(kWmUser, 0, 0, 0ms), 5);
    EXPECT_EQ(t.send(kWmUser + 99, 0, 0, 0ms), 0);
    EXPECT_EQ(EventLoop::current().stats().defaulted, defaultedBefore + 1);
}

TEST(EventLoop, WindowTimersRepeatAtTheirIntervalUntilKilled) {
    std::vector<std::chrono::steady_clock::time_point> fired;
    int other = 0;
    MessageTarget t([&](Message &m) -> std::optional<LResult> {
        if (m.number == kWmTimer && m.wParam == 7) {
            fired.push_back(std::chrono::steady_clock::now());
        } else if (m.number == kWmTimer && m.wParam == 8) {
            ++other;
        }
        return 0;
    });
    auto start = std::chrono::steady_clock::now();
    t.setTimer(7, 50);
    EventLoop::current().runUntil([&] { return fired.size() >= 5; }, 10s);
    t.killTimer(7);
    ASSERT_GE(fired.size(), 5u);
    EXPECT_GE(fired[0] - start, 50ms);
    for (size_t i = 1; i < fired.size(); ++i) {
        auto gap = fired[i] - fired[i - 1];
        EXPECT_GE(gap, 45ms);
        EXPECT_LT(gap, 500ms); // late only by what a loaded machine adds
    }
    // A timer of the same interval set after the kill fires twice; the killed one would have
    // fired in between.
    auto count = fired.size();
    t.setTimer(8, 50);
    EventLoop::current().runUntil([&] { return other >= 2; }, 10s);
    t.killTimer(8);
    ASSERT_GE(other, 2);
    EXPECT_EQ(fired.size(), count) << "a killed timer must not fire";
}

TEST(EventLoop, ComponentTimerDisabledInsideItsOwnHandlerFiresOnce) {
    Timer timer;
    int fired = 0;
    timer.setInterval(20);
    timer.onTimer = [&] {
        ++fired;
        timer.setEnabled(false); // the controller's one-shot restart timer
    };
    timer.setEnabled(true);
    // A second timer of the same interval fires three times; a first one still enabled would
    // have fired again in between.
    Timer fence;
    int fenced = 0;
    fence.setInterval(20);
    fence.onTimer = [&] { ++fenced; };
    fence.setEnabled(true);
    EventLoop::current().runUntil([&] { return fenced >= 3; }, 10s);
    fence.setEnabled(false);
    ASSERT_GE(fenced, 3);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer.enabled());
}

TEST(EventLoop, FdWatchesReportReadWriteAndHangUp) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    auto &loop = EventLoop::current();
    uint32_t got = 0;
    std::string data;
    uint64_t id = loop.watchFd(sv[0], kFdRead, [&](uint32_t ev) {
        got |= ev;
        char buf[64];
        ssize_t n;
        while ((n = ::read(sv[0], buf, sizeof buf)) > 0) {
            data.append(buf, static_cast<size_t>(n));
        }
    });
    EXPECT_EQ(loop.waitAndPump(20ms), 0u) << "nothing is readable yet";
    ASSERT_EQ(::write(sv[1], "hello", 5), 5);
    EXPECT_TRUE(readable(loop.fd()));
    loop.runUntil([&] { return data == "hello"; }, 1s);
    EXPECT_EQ(data, "hello");
    loop.modifyWatch(id, kFdRead | kFdWrite);
    got = 0;
    loop.pump();
    EXPECT_TRUE(got & kFdWrite);
    ::close(sv[1]);
    got = 0;
    loop.runUntil([&] { return (got & kFdHangUp) != 0; }, 1s);
    EXPECT_TRUE(got & kFdHangUp);
    loop.removeWatch(id);
    ::close(sv[0]);
}

TEST(EventLoop, DescriptorBecomesReadableForAPostFromAnotherThread) {
    // The Qt main loop waits on fd() with a socket notifier; a worker's post must wake it.
    Recorder r;
    auto &loop = EventLoop::current();
    loop.pump();
    std::thread poster([h = r.target.handle()] {
        std::this_thread::sleep_for(20ms);
        h.post(kWmUser + 1);
    });
    pollfd p{loop.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 2000), 1);
    poster.join();
    loop.pump();
    EXPECT_EQ(r.seen, std::vector<uint32_t>{kWmUser + 1});
}

TEST(EventLoop, RunEndsWithQuitFromAnotherThread) {
    auto &loop = EventLoop::current();
    std::thread stopper([&loop] {
        std::this_thread::sleep_for(20ms);
        loop.quit(3);
    });
    EXPECT_EQ(loop.run(), 3);
    stopper.join();
}

TEST(EventLoop, QuitIsPendingUntilRunReturnsForIt) {
    auto &loop = EventLoop::current();
    EXPECT_FALSE(loop.quitPending());
    loop.quit(1);
    EXPECT_TRUE(loop.quitPending());
    EXPECT_EQ(loop.run(), 1);
    EXPECT_FALSE(loop.quitPending());
}

// Every handler the loop calls may throw; the exception reaches the application's handler,
// the loop goes on, and nothing that was waiting is left waiting.
TEST(EventLoop, HandlerExceptionsReachTheApplicationHandlerAndTheLoopGoesOn) {
    auto &loop = EventLoop::current();
    std::vector<std::string> reported;
    auto previous = SetApplicationExceptionHandler(
        [&](const std::exception &e) { reported.emplace_back(e.what()); });

    // A posted handler that throws; the next posted message is still handled.
    int handled = 0;
    MessageTarget t([&](Message &m) -> std::optional<LResult> {
        ++handled;
        if (m.number == kWmUser + 1) {
            throw std::runtime_error("posted");
        }
        if (m.number == kWmUser + 2) {
            throw 42; // not a std::exception
        }
        return 7;
    });
    t.post(kWmUser + 1);
    t.post(kWmUser + 3);
    loop.pump();
    EXPECT_EQ(handled, 2);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "posted");

    // A sent message whose handler throws: the sender is released at once with a failure,
    // long before its time-out.
    std::optional<LResult> result{99};
    std::atomic<bool> sendReturned{false};
    auto started = std::chrono::steady_clock::now();
    std::thread sender([&, h = t.handle()] {
        result = h.send(kWmUser + 2, 0, 0, 60s);
        sendReturned = true;
    });
    loop.runUntil([&] { return sendReturned.load(); }, 60s);
    sender.join();
    EXPECT_FALSE(result.has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_NE(reported[1].find("unknown exception"), std::string::npos) << reported[1];
    EXPECT_EQ(t.send(kWmUser + 3, 0, 0, 0ms), std::optional<LResult>(7));

    // A throwing timer fires again on its next period; another timer keeps its pace.
    int throwingFired = 0;
    int otherFired = 0;
    uint64_t throwing = loop.addTimer(5, [&] {
        ++throwingFired;
        throw std::runtime_error("timer");
    });
    uint64_t other = loop.addTimer(5, [&] { ++otherFired; });
    loop.runUntil([&] { return throwingFired >= 3 && otherFired >= 3; }, 60s);
    loop.removeTimer(throwing);
    loop.removeTimer(other);
    EXPECT_GE(throwingFired, 3);
    EXPECT_GE(otherFired, 3);

    // A throwing descriptor watch stays usable.
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    int watchCalls = 0;
    uint64_t watch = loop.watchFd(sv[0], kFdRead, [&](uint32_t) {
        char c;
        while (::read(sv[0], &c, 1) == 1) {
        }
        ++watchCalls;
        throw std::runtime_error("watch");
    });
    ASSERT_EQ(::write(sv[1], "a", 1), 1);
    loop.runUntil([&] { return watchCalls == 1; }, 60s);
    ASSERT_EQ(::write(sv[1], "b", 1), 1);
    loop.runUntil([&] { return watchCalls == 2; }, 60s);
    EXPECT_EQ(watchCalls, 2);
    loop.removeWatch(watch);
    ::close(sv[0]);
    ::close(sv[1]);

    size_t timerReports = 0;
    for (const auto &r : reported) {
        timerReports += r == "timer" ? 1 : 0;
    }
    EXPECT_EQ(timerReports, static_cast<size_t>(throwingFired));
    EXPECT_EQ(reported.back(), "watch");
    SetApplicationExceptionHandler(previous);
}
