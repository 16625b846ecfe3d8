// Real-time behaviour of the dispatcher and the comm port: a window handler that hangs is
// given up after 3000 ms and the dispatch thread goes on; a port closed from such a handler
// keeps its dispatcher until the handler returns.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "comm/comm_port.h"
#include "comm/dispatcher.h"
#include "pty_pair.h"

namespace quillon::comm {
namespace {

using namespace std::chrono_literals;
using quillon::testing::PtyPair;
using quillon::testing::waitFor;

void countTimer(uint32_t msg, uint32_t, int32_t, void *ctx) {
    if (msg == MsgTriggerTimer) {
        ++*static_cast<std::atomic<int> *>(ctx);
    }
}

TEST(DispatcherRealtime, AHangingWindowHandlerIsSkippedAfter3000ms) {
    PtyPair pty;
    TSerialDispatcher disp;
    ASSERT_EQ(0, disp.OpenDevice(pty.slavePath(), 8192, 8192, true, true, 115200, 0, 8, 1));
    std::atomic<int> calls{0};
    std::atomic<int> stale{0};
    std::promise<platform::TargetHandle> ready;
    std::thread ui([&] {
        platform::EventLoop loop;
        platform::MessageTarget window(loop, [&](platform::Message &m) -> std::optional<long> {
            if (m.number == MsgTriggerAvail) {
                if (++calls == 1) {
                    std::this_thread::sleep_for(3500ms); // hangs past the send limit
                }
                return 0;
            }
            if (m.number == platform::kWmUser) {
                loop.quit();
                return 0;
            }
            return std::nullopt;
        });
        ready.set_value(window.handle());
        loop.run();
        stale = static_cast<int>(loop.stats().timedOut);
    });
    platform::TargetHandle handle = ready.get_future().get();
    ASSERT_EQ(0, disp.AddWindowHandler(handle));
    ASSERT_EQ(0, disp.SetHandlerMode(1)); // one window: delivered only with the port handler
    std::atomic<int> timers{0};
    ASSERT_EQ(0, disp.AddProcHandler(&countTimer, &timers));
    ASSERT_EQ(0, disp.SetAvailThreshold(1));
    int t = disp.NewTimerTrigger();
    auto t0 = std::chrono::steady_clock::now();
    pty.write("A");
    ASSERT_TRUE(waitFor([&] { return calls.load() == 1; }, 2s));
    // Due after two ticks, but the dispatch thread waits for the hung window first.
    ASSERT_EQ(0, disp.ArmTimerTrigger(t, 1, true));
    ASSERT_TRUE(waitFor([&] { return timers.load() == 1; }, 6s));
    auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, 2900ms);
    // Well short of a second send limit; the rest is room for a loaded machine.
    EXPECT_LT(elapsed, 5000ms);
    // The dispatcher goes on delivering once the window answers again.
    ASSERT_TRUE(waitFor([&] { return std::chrono::steady_clock::now() - t0 > 3600ms; }, 5s));
    pty.write("B");
    ASSERT_TRUE(waitFor([&] { return calls.load() == 2; }, 2s));
    handle.post(platform::kWmUser);
    ui.join();
    EXPECT_EQ(1, stale.load());
    EXPECT_EQ(0, disp.CloseDevice());
}

TEST(CommPortRealtime, AHandlerPastTheSendLimitThatClosesThePortKeepsItsDispatcher) {
    PtyPair pty;
    int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    TComPort port;
    port.SetAutoOpen(false);
    port.SetTapiMode(tmOn);
    port.SetTapiDescriptor(fd);
    bool handled = false;
    bool closingInside = false;
    bool dispatcherOpenAfterClose = true;
    port.SetOnTriggerAvail([&](TCustomComPort &cp, uint16_t) {
        TBaseDispatcher &d = cp.ValidDispatcher();
        std::this_thread::sleep_for(3300ms); // the dispatch thread stops waiting for this one
        cp.SetOpen(false);
        closingInside = cp.Closing();
        dispatcherOpenAfterClose = d.IsOpen(); // the handler's reference is still good
        handled = true;
    });
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
    pty.write("A");
    auto &loop = platform::EventLoop::current();
    ASSERT_TRUE(loop.runUntil([&] { return handled; }, 6s));
    EXPECT_TRUE(closingInside);
    EXPECT_FALSE(dispatcherOpenAfterClose);
    ASSERT_TRUE(loop.runUntil([&] { return !port.Closing(); }, 2s));
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(nullptr, port.Dispatcher());
    ::close(fd);
}

} // namespace
} // namespace quillon::comm
