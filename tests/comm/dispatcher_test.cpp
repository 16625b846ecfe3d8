// The comm dispatcher over a real pseudo-terminal pair: rings, peek mode, triggers, handles,
// handlers, line settings, a vanishing device and closing from inside a handler.

#include "comm/dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ui_hooks.h"
#include "pty_pair.h"

namespace quillon::comm {
namespace {

using namespace std::chrono_literals;
using quillon::testing::PtyPair;
using quillon::testing::waitFor;

// A procedure handler that forwards to a std::function and records what it saw.
struct Proc {
    struct Event {
        uint32_t msg;
        uint32_t w;
        int32_t l;
    };
    std::mutex mutex;
    std::vector<Event> events;
    std::function<void(TBaseDispatcher &, const Event &)> body;
    TBaseDispatcher *disp = nullptr;

    static void Call(uint32_t msg, uint32_t w, int32_t l, void *ctx) {
        auto *self = static_cast<Proc *>(ctx);
        Event e{msg, w, l};
        // The body runs under the recorder's lock, so the test thread reads what it
        // collected through locked().
        std::lock_guard lock(self->mutex);
        self->events.push_back(e);
        if (self->body) {
            self->body(*self->disp, e);
        }
    }
    template <class F> auto locked(F f) {
        std::lock_guard lock(mutex);
        return f();
    }
    size_t count(uint32_t msg) {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (const auto &e : events) {
            n += e.msg == msg ? 1 : 0;
        }
        return n;
    }
    void attach(TBaseDispatcher &d) {
        disp = &d;
        ASSERT_EQ(0, d.AddProcHandler(&Proc::Call, this));
    }
};

struct Rig {
    PtyPair pty;
    TSerialDispatcher disp;
    explicit Rig(uint32_t outSize = 8192) {
        int rc = disp.OpenDevice(pty.slavePath(), 8192, outSize, true, true, 115200, 0, 8, 1);
        if (rc != 0) {
            throw std::runtime_error("OpenDevice failed: " + std::to_string(rc));
        }
    }
    ~Rig() { [[maybe_unused]] int rc = disp.CloseDevice(); }
};

// Returns once the dispatch thread has run a pass that began after the call: a fresh timer
// trigger of one tick fires in a poll pass, and every pass evaluates the status triggers
// before the timers. A test that a status trigger stayed silent asserts it after this, not
// after a fixed sleep that a loaded machine may outlast.
void awaitPass(TBaseDispatcher &disp, Proc &proc) {
    int t = disp.NewTimerTrigger();
    ASSERT_GT(t, 0);
    auto fired = [&] {
        return proc.locked([&] {
            return std::any_of(proc.events.begin(), proc.events.end(), [&](const Proc::Event &e) {
                return e.msg == MsgTriggerTimer && e.w == static_cast<uint32_t>(t);
            });
        });
    };
    ASSERT_EQ(0, disp.ArmTimerTrigger(t, 1, true));
    ASSERT_TRUE(waitFor(fired, 10s));
    ASSERT_EQ(0, disp.DropTrigger(t));
}

// The first notification of one kind that a handler saw.
Proc::Event firstOf(Proc &proc, uint32_t msg) {
    return proc.locked([&] {
        auto it = std::find_if(proc.events.begin(), proc.events.end(),
                               [&](const Proc::Event &e) { return e.msg == msg; });
        return it == proc.events.end() ? Proc::Event{0, 0, 0} : *it;
    });
}

// Fills the output ring until the writer stalls on a full pty, then lets the peer take a
// little so that the ring holds data but has room. The tty layer frees its buffer in
// chunks, so one read may let the whole ring drain: then fill again. Bounded in time.
void stallOutput(Rig &rig, std::vector<uint8_t> &written) {
    std::vector<uint8_t> chunk(1000);
    auto deadline = std::chrono::steady_clock::now() + 30s;
    auto waitStable = [&] {
        uint32_t used = rig.disp.OutputUsed();
        for (int stable = 0; stable < 5 && std::chrono::steady_clock::now() < deadline;) {
            std::this_thread::sleep_for(10ms);
            uint32_t now = rig.disp.OutputUsed();
            stable = now == used ? stable + 1 : 0;
            used = now;
        }
    };
    auto fill = [&] {
        while (rig.disp.OutputFree() >= chunk.size()) {
            for (size_t k = 0; k < chunk.size(); ++k) {
                chunk[k] = static_cast<uint8_t>(written.size() + k);
            }
            ASSERT_EQ(0, rig.disp.WriteBlock(chunk.data(), static_cast<uint32_t>(chunk.size())));
            written.insert(written.end(), chunk.begin(), chunk.end());
            std::this_thread::sleep_for(1ms);
        }
    };
    std::vector<uint8_t> head;
    for (;;) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the output never stalled";
        fill();
        waitStable();
        if (rig.disp.OutputFree() == 0) {
            // Full: let the peer take a little, so the writer moves on.
            auto got = rig.pty.read(64, 1s);
            head.insert(head.end(), got.begin(), got.end());
            waitStable();
        }
        uint32_t used = rig.disp.OutputUsed();
        if (used > 0 && rig.disp.OutputFree() > 0 && used >= chunk.size()) {
            break;
        }
    }
    ASSERT_TRUE(std::equal(head.begin(), head.end(), written.begin()));
    written.erase(written.begin(), written.begin() + static_cast<long>(head.size()));
}

TEST(Dispatcher, BytesFlowBothWaysAndModemLinesReadAsPresent) {
    Rig rig;
    Proc proc;
    std::string got;
    proc.body = [&](TBaseDispatcher &d, const Proc::Event &e) {
        if (e.msg == MsgTriggerAvail) {
            EXPECT_EQ(d.Handle(), e.l >> 16);
            for (uint32_t i = 0; i < e.w; ++i) {
                got.push_back(static_cast<char>(d.ReadByte()));
            }
        }
    };
    proc.attach(rig.disp);
    ASSERT_EQ(0, rig.disp.SetAvailThreshold(1));
    rig.pty.write("OK\r\n");
    ASSERT_TRUE(waitFor([&] { return proc.locked([&] { return got.size() == 4; }); }, 2s));
    EXPECT_EQ("OK\r\n", proc.locked([&] { return got; }));

    ASSERT_EQ(0, rig.disp.WriteText("ATZ\r"));
    auto out = rig.pty.read(4, 2s);
    EXPECT_EQ("ATZ\r", std::string(out.begin(), out.end()));

    // A pseudo-terminal has no modem lines: CTS, DSR and DCD read as on, DTR/RTS are no-ops.
    EXPECT_EQ(0xB0, rig.disp.ReadModemStatus(0xFF) & 0xF0);
    EXPECT_TRUE(rig.disp.CarrierPresent());
    EXPECT_EQ(0, rig.disp.SetSignals(false, false));
}

TEST(Dispatcher, TwoHandlersPeekTheSameBytesAndTheHungrierOneConsumes) {
    Rig rig;
    Proc first, second;
    std::vector<int> firstBytes, secondBytes;
    first.body = [&](TBaseDispatcher &d, const Proc::Event &e) {
        if (e.msg == MsgTriggerAvail) {
            EXPECT_EQ(8u, d.InputCount());
            for (int i = 0; i < 3; ++i) {
                firstBytes.push_back(d.ReadByte());
            }
            EXPECT_EQ(5u, d.InputCount()); // peek mode: reads count, nothing is consumed
        }
    };
    second.body = [&](TBaseDispatcher &d, const Proc::Event &e) {
        if (e.msg == MsgTriggerAvail) {
            EXPECT_EQ('A', d.PeekByte(1));
            for (int i = 0; i < 5; ++i) {
                secondBytes.push_back(d.ReadByte());
            }
        }
    };
    first.attach(rig.disp);
    second.attach(rig.disp);
    ASSERT_EQ(0, rig.disp.SetAvailThreshold(8));
    rig.pty.write("ABCDEFGH");
    ASSERT_TRUE(waitFor([&] { return second.count(MsgTriggerAvail) == 1; }, 2s));
    ASSERT_TRUE(waitFor([&] { return rig.disp.InputCount() == 3; }, 1s));
    EXPECT_EQ((std::vector<int>{'A', 'B', 'C'}), first.locked([&] { return firstBytes; }));
    EXPECT_EQ((std::vector<int>{'A', 'B', 'C', 'D', 'E'}),
              second.locked([&] { return secondBytes; }));
    EXPECT_EQ('F', rig.disp.ReadByte());
    EXPECT_EQ('G', rig.disp.ReadByte());
    EXPECT_EQ('H', rig.disp.ReadByte());
    // An empty ring: -3007, and nothing changes.
    EXPECT_EQ(-3007, rig.disp.ReadByte());
    EXPECT_EQ(-3007, rig.disp.PeekByte(1));
    EXPECT_EQ(0u, rig.disp.InputCount());
    EXPECT_FALSE(rig.disp.InputReady());
}

TEST(Dispatcher, OutputRingFullFreeAndTooSmall) {
    Rig rig(4096);
    std::vector<uint8_t> written;
    stallOutput(rig, written);
    uint32_t free = rig.disp.OutputFree();
    ASSERT_GT(free, 0u);
    std::vector<uint8_t> block(free + 1, 0x55);
    // One byte more than the free space: -3006 and nothing is written.
    EXPECT_EQ(-3006, rig.disp.WriteBlock(block.data(), free + 1));
    EXPECT_EQ(free, rig.disp.OutputFree());
    // Exactly the free space: accepted, and the ring is full.
    ASSERT_EQ(0, rig.disp.WriteBlock(block.data(), free));
    written.insert(written.end(), block.begin(), block.begin() + free);
    EXPECT_EQ(0u, rig.disp.OutputFree());
    EXPECT_EQ(4096u, rig.disp.OutputUsed());
    EXPECT_EQ(-3006, rig.disp.WriteByte(1));

    // Status triggers fire once per arming: output-free when the peer starts reading.
    Proc proc;
    proc.attach(rig.disp);
    int freeTrig = rig.disp.NewStatusTrigger(skOutputFree);
    ASSERT_EQ(skOutputFree, freeTrig & 7);
    ASSERT_EQ(0, rig.disp.ArmStatusTrigger(freeTrig, 1024, true));
    awaitPass(rig.disp, proc);
    EXPECT_EQ(0u, proc.count(MsgTriggerStatus));
    auto got = rig.pty.read(written.size(), 5s);
    ASSERT_EQ(written.size(), got.size());
    EXPECT_TRUE(got == written);
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerStatus) == 1; }, 2s));
    auto ev = firstOf(proc, MsgTriggerStatus);
    EXPECT_EQ(static_cast<uint32_t>(freeTrig), ev.w);
    EXPECT_GE(ev.l & 0xFFFF, 1024);
    // More traffic: silent until armed again.
    ASSERT_EQ(0, rig.disp.WriteText("more"));
    EXPECT_EQ(4u, rig.pty.read(4, 2s).size());
    awaitPass(rig.disp, proc);
    EXPECT_EQ(1u, proc.count(MsgTriggerStatus));
    ASSERT_EQ(0, rig.disp.ArmStatusTrigger(freeTrig, 1024, true));
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerStatus) == 2; }, 2s));

    // Output-sent: once per arming, after a write.
    int sent = rig.disp.NewStatusTrigger(skOutputSent);
    ASSERT_EQ(0, rig.disp.ArmStatusTrigger(sent, 0, true));
    ASSERT_EQ(0, rig.disp.WriteText("x"));
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerStatus) == 3; }, 2s));
    ASSERT_EQ(0, rig.disp.WriteText("y"));
    EXPECT_EQ(2u, rig.pty.read(2, 2s).size()); // "x" and "y" have both gone out
    awaitPass(rig.disp, proc);
    EXPECT_EQ(3u, proc.count(MsgTriggerStatus));
}

// A handler that re-arms its own trigger while the condition still holds gets it again in a
// later pass, not in a loop that starves the timers and the line.
TEST(Dispatcher, AStatusTriggerReArmedByItsHandlerFiresOncePerPass) {
    Rig rig;
    Proc proc;
    int freeTrig = rig.disp.NewStatusTrigger(skOutputFree);
    int timer = rig.disp.NewTimerTrigger();
    int timerFires = 0;
    // The timer, re-armed by its handler, measures three periods on the dispatch thread's
    // own clock; its third firing ends the test's window there too, so that a test thread
    // slowed by the machine's load cannot widen it.
    proc.body = [&](TBaseDispatcher &d, const Proc::Event &e) {
        if (e.msg == MsgTriggerStatus) {
            ASSERT_EQ(0, d.ArmStatusTrigger(freeTrig, 16, true));
        } else if (e.msg == MsgTriggerTimer && ++timerFires < 3) {
            ASSERT_EQ(0, d.ArmTimerTrigger(timer, 2, true));
        } else if (e.msg == MsgTriggerTimer) {
            ASSERT_EQ(0, d.ArmStatusTrigger(freeTrig, 16, false));
        }
    };
    proc.attach(rig.disp);
    ASSERT_EQ(0, rig.disp.SetAvailThreshold(1));
    ASSERT_EQ(0, rig.disp.ArmTimerTrigger(timer, 2, true)); // 110 ms
    ASSERT_EQ(0, rig.disp.ArmStatusTrigger(freeTrig, 16, true));
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerTimer) == 3; }, 10s));
    // At most one a pass in three timer periods: a poll pass every 50 ms at most, and the
    // timer's own; a spinning dispatcher delivers hundreds of thousands.
    EXPECT_GE(proc.count(MsgTriggerStatus), 2u);
    EXPECT_LE(proc.count(MsgTriggerStatus), 40u);
    // Bytes still arrive and are reported.
    rig.pty.write("ok");
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerAvail) >= 1; }, 2s));
}

// A client that waits for room on an output-free trigger, as a fax session sending a page
// does, arms it again as soon as its handler has told it, often while that pass is still
// going on. Here the handler holds the pass until the client has armed, so every arming
// lands inside a pass. Each must be answered by the pass that follows at once, not by the
// dispatcher's poll: answered by the poll alone, 10,000 armings take a minute or more, against
// well under a second here, so the 30 s bound leaves a loaded machine ample room.
TEST(Dispatcher, AClientArmingAnOutputFreeTriggerAgainAndAgainGetsEveryNotification) {
    Rig rig(512);
    std::atomic<bool> stopPeer{false};
    std::thread peer([&] {
        while (!stopPeer.load()) {
            [[maybe_unused]] auto got = rig.pty.read(1 << 16, 5ms);
        }
    });
    struct Room {
        std::mutex lock;
        std::condition_variable cv;
        uint64_t fired = 0;
        uint64_t armed = 0;
        static void Call(uint32_t msg, uint32_t, int32_t, void *ctx) {
            auto *self = static_cast<Room *>(ctx);
            if (msg == MsgTriggerStatus) {
                std::unique_lock hold(self->lock);
                uint64_t want = ++self->fired;
                self->cv.notify_all();
                // The pass goes on only once the client has armed again (or given up).
                self->cv.wait_for(hold, 10s, [&] { return self->armed >= want; });
            }
        }
    } room;
    ASSERT_EQ(0, rig.disp.AddProcHandler(&Room::Call, &room));
    int freeTrig = rig.disp.NewStatusTrigger(skOutputFree);
    std::vector<uint8_t> chunk(128, 0x5A);
    constexpr uint64_t kArmings = 10000;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    uint64_t answered = 0;
    for (uint64_t i = 0; i < kArmings && std::chrono::steady_clock::now() < deadline; ++i) {
        // Room for a chunk is there at once, or as soon as the writer has sent its run.
        if (i % 2 == 0) {
            [[maybe_unused]] int rc =
                rig.disp.WriteBlock(chunk.data(), static_cast<uint32_t>(chunk.size()));
        }
        std::unique_lock hold(room.lock);
        ASSERT_EQ(0,
                  rig.disp.ArmStatusTrigger(freeTrig, static_cast<uint16_t>(chunk.size()), true));
        room.armed = i + 1;
        room.cv.notify_all();
        if (!room.cv.wait_for(hold, 10s, [&] { return room.fired > i; })) {
            break;
        }
        answered = i + 1;
    }
    stopPeer = true;
    peer.join();
    EXPECT_EQ(kArmings, answered);
}

// Purges while another thread keeps writing and the peer keeps reading: the peer gets only
// bytes that were written, never stale ring contents, and the ring's accounting stays right.
TEST(Dispatcher, PurgeOutputWhileAnotherThreadWrites) {
    Rig rig(4096);
    std::atomic<bool> stopWriter{false};
    std::atomic<bool> stopPeer{false};
    std::atomic<size_t> got{0};
    std::atomic<size_t> foreign{0};
    std::atomic<bool> sawEnd{false};
    std::string tail;
    std::thread peer([&] {
        while (!stopPeer.load() && !sawEnd.load()) {
            for (auto b : rig.pty.read(1 << 16, 2ms)) {
                foreign += b != 'x' ? 1 : 0;
                ++got;
                if (stopWriter.load()) {
                    tail.push_back(static_cast<char>(b));
                }
            }
            sawEnd = tail.size() >= 3 && tail.compare(tail.size() - 3, 3, "END") == 0;
            std::this_thread::sleep_for(300us);
        }
    });
    std::thread writer([&] {
        std::vector<uint8_t> block(700, 'x');
        while (!stopWriter.load()) {
            [[maybe_unused]] int rc =
                rig.disp.WriteBlock(block.data(), static_cast<uint32_t>(block.size()));
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(0, rig.disp.PurgeOutput());
        std::this_thread::sleep_for(200us);
    }
    stopWriter = true;
    writer.join();
    EXPECT_TRUE(waitFor([&] { return rig.disp.OutputUsed() == 0; }, 10s));
    ASSERT_EQ(0, rig.disp.WriteText("END"));
    EXPECT_TRUE(waitFor([&] { return sawEnd.load(); }, 10s));
    stopPeer = true;
    peer.join();
    EXPECT_GT(got.load(), 0u);
    EXPECT_EQ(3u, foreign.load()); // E, N, D
    EXPECT_EQ("END", tail.substr(tail.size() >= 3 ? tail.size() - 3 : 0));
}

// The application's busy flag is its own: taken on another thread while a notification
// runs and given back afterwards, it does not leave the dispatcher silenced.
TEST(Dispatcher, BusyTakenDuringAPassIsGivenBackWhole) {
    Rig rig;
    Proc proc;
    std::atomic<bool> inHandler{false};
    std::atomic<bool> release{false};
    proc.body = [&](TBaseDispatcher &d, const Proc::Event &e) {
        if (e.msg == MsgTriggerAvail && proc.events.size() == 1) {
            inHandler = true;
            while (!release.load()) {
                std::this_thread::sleep_for(1ms);
            }
        }
        while (d.ReadByte() >= 0) {
        }
    };
    proc.attach(rig.disp);
    ASSERT_EQ(0, rig.disp.SetAvailThreshold(1));
    rig.pty.write("1");
    ASSERT_TRUE(waitFor([&] { return inHandler.load(); }, 2s));
    bool old = rig.disp.SwapBusy(true); // the fax engine starting on its own thread
    release = true;
    ASSERT_TRUE(waitFor([&] { return !rig.disp.InNotification(); }, 2s));
    rig.pty.write("2"); // held back while busy
    // The byte reaches the input ring, but no handler hears of it.
    ASSERT_TRUE(waitFor([&] { return rig.disp.InputCount() == 1; }, 10s));
    EXPECT_EQ(1u, proc.count(MsgTriggerAvail));
    EXPECT_FALSE(old);
    rig.disp.SwapBusy(old);
    rig.pty.write("3");
    EXPECT_TRUE(waitFor([&] { return proc.count(MsgTriggerAvail) >= 2; }, 2s));
}

TEST(Dispatcher, TriggerHandlesAndDropRules) {
    Rig rig;
    EXPECT_EQ(-1002, rig.disp.NewStatusTrigger(6));
    EXPECT_EQ(-1002, rig.disp.NewStatusTrigger(-1));
    EXPECT_EQ(-5002, rig.disp.NewDataTrigger(std::string(23, 'x'), false));
    EXPECT_EQ(0, rig.disp.DropTrigger(1));
    EXPECT_EQ(0u, rig.disp.AvailThreshold());
    EXPECT_EQ(-5003, rig.disp.DropTrigger(0));
    EXPECT_EQ(-5003, rig.disp.DropTrigger(8)); // nothing allocated yet
    EXPECT_EQ(-5003, rig.disp.ArmTimerTrigger(8, 1, true));

    std::vector<int> handles;
    for (int i = 0; i < 4095; ++i) {
        handles.push_back(rig.disp.NewTimerTrigger());
    }
    EXPECT_EQ(8, handles.front());
    EXPECT_EQ(32760, handles.back());
    EXPECT_EQ(-5003, rig.disp.ArmStatusTrigger(handles[0], 1, true)); // a timer, not a status
    ASSERT_EQ(0, rig.disp.DropTrigger(24));
    ASSERT_EQ(0, rig.disp.DropTrigger(16));
    // The 4096th and later reuse the smallest free multiple of 8.
    EXPECT_EQ(16, rig.disp.NewTimerTrigger());
    EXPECT_EQ(24 | skLineErrors, rig.disp.NewStatusTrigger(skLineErrors));
    EXPECT_EQ(32768, rig.disp.NewDataTrigger("CONNECT", true));
    EXPECT_EQ(0, rig.disp.DropTrigger(24 | skLineErrors));
    EXPECT_EQ(-5003, rig.disp.DropTrigger(24 | skLineErrors));
    EXPECT_EQ(0, rig.disp.DropTrigger(32768));

    EXPECT_EQ(-1002, rig.disp.SetUserSlot(0, nullptr));
    EXPECT_EQ(-1002, rig.disp.SetUserSlot(4, nullptr));
    int context = 0;
    EXPECT_EQ(0, rig.disp.SetUserSlot(2, &context));
    EXPECT_EQ(&context, rig.disp.GetUserSlot(2));
    EXPECT_EQ(nullptr, rig.disp.GetUserSlot(1));

    // Save and restore keep new handles clear of the restored ones.
    TTriggerSave saved;
    rig.disp.SaveTriggers(saved);
    EXPECT_EQ(4094u, saved.timers.size());
    rig.disp.RestoreTriggers(saved);
    int fresh = rig.disp.NewTimerTrigger();
    for (const auto &t : saved.timers) {
        ASSERT_NE(fresh, t.handle);
    }
}

TEST(Dispatcher, TimersFireAfterTheirIntervalAlsoAcrossTheClockWrap) {
    Rig rig;
    Proc proc;
    std::atomic<int64_t> firedAt{0};
    auto start = std::chrono::steady_clock::now();
    proc.body = [&](TBaseDispatcher &, const Proc::Event &e) {
        if (e.msg == MsgTriggerTimer) {
            firedAt = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
        }
    };
    proc.attach(rig.disp);
    EXPECT_EQ(54, SecsToTicks(3));
    EXPECT_EQ(3, TicksToSecs(54));
    int t = rig.disp.NewTimerTrigger();

    // An ordinary timer of 2 ticks (110 ms).
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, rig.disp.ArmTimerTrigger(t, 2, true));
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerTimer) == 1; }, 5s));
    // Never early; late only by what a loaded machine adds (the bound is ten periods).
    EXPECT_GE(firedAt.load(), 105);
    EXPECT_LE(firedAt.load(), 1100);

    // Put the 32-bit millisecond clock 200 ms before its wrap and arm 10 ticks (550 ms).
    uint32_t now = TBaseDispatcher::NowMs();
    TBaseDispatcher::SetClockOffsetForTest(int64_t{0xFFFFFFFF} - 200 - now);
    start = std::chrono::steady_clock::now();
    int32_t before = TBaseDispatcher::NowTicks();
    ASSERT_EQ(0, rig.disp.ArmTimerTrigger(t, 10, true));
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerTimer) == 2; }, 10s));
    int32_t after = TBaseDispatcher::NowTicks();
    TBaseDispatcher::SetClockOffsetForTest(0);
    EXPECT_GT(before, 78000000);
    EXPECT_LT(after, before); // the clock did wrap
    EXPECT_GE(firedAt.load(), 500);
    EXPECT_LE(firedAt.load(), 5500);

    // Deactivated: silent, while a longer timer armed after it still fires.
    ASSERT_EQ(0, rig.disp.ArmTimerTrigger(t, 1, true));
    ASSERT_EQ(0, rig.disp.ArmTimerTrigger(t, 0, false));
    int later = rig.disp.NewTimerTrigger();
    ASSERT_EQ(0, rig.disp.ArmTimerTrigger(later, 2, true));
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerTimer) == 3; }, 10s));
    EXPECT_EQ(static_cast<uint32_t>(later), proc.locked([&] { return proc.events.back().w; }));
}

TEST(Dispatcher, DataTriggersReportAfterTheBytesBeforeThem) {
    Rig rig;
    Proc proc;
    std::string text;
    std::vector<std::pair<uint32_t, uint32_t>> datas; // handle, matched length
    proc.body = [&](TBaseDispatcher &d, const Proc::Event &e) {
        if (e.msg == MsgTriggerAvail) {
            for (uint32_t i = 0; i < e.w; ++i) {
                text.push_back(static_cast<char>(d.ReadByte()));
            }
            text += "|";
        } else if (e.msg == MsgTriggerData) {
            datas.emplace_back(e.w, static_cast<uint32_t>(e.l & 0xFFFF));
        }
    };
    proc.attach(rig.disp);
    int ok = rig.disp.NewDataTrigger("ok\r\n", true);
    int conn = rig.disp.NewDataTrigger("CONNECT", false);
    ASSERT_GT(ok, 0);
    ASSERT_EQ(0, rig.disp.SetAvailThreshold(1));
    rig.pty.write("AT\r\r\nOK\r\n");
    ASSERT_TRUE(waitFor([&] { return proc.locked([&] { return datas.size() == 1; }); }, 2s));
    ASSERT_TRUE(waitFor(
        [&] { return proc.locked([&] { return text.find("OK\r\n") != std::string::npos; }); }, 2s));
    auto snapshot = proc.locked([&] { return std::make_pair(text, datas); });
    EXPECT_EQ(static_cast<uint32_t>(ok), snapshot.second[0].first);
    EXPECT_EQ(4u, snapshot.second[0].second);
    // The bytes before the match come first, the match itself in the next notification.
    EXPECT_EQ(0u, snapshot.first.find("AT\r\r\n|OK\r\n|"));
    rig.pty.write("CONCONNECT 9600\r\n");
    ASSERT_TRUE(waitFor([&] { return proc.locked([&] { return datas.size() == 2; }); }, 2s));
    snapshot = proc.locked([&] { return std::make_pair(text, datas); });
    EXPECT_EQ(static_cast<uint32_t>(conn), snapshot.second[1].first);
    EXPECT_EQ(7u, snapshot.second[1].second);
    // Purging discards unread bytes and partial matches. Each piece is waited for through its
    // avail notification; the data notification that a kept partial match would give comes
    // before the avail notification of the byte after it.
    auto seen = [&](const std::string &piece) {
        return waitFor(
            [&] { return proc.locked([&] { return text.find(piece) != std::string::npos; }); },
            10s);
    };
    rig.pty.write("CONNE");
    ASSERT_TRUE(seen("CONNE|"));
    ASSERT_EQ(0, rig.disp.PurgeInput());
    rig.pty.write("CT");
    ASSERT_TRUE(seen("CT|"));
    rig.pty.write("!");
    ASSERT_TRUE(seen("!|"));
    EXPECT_EQ(2u, proc.locked([&] { return datas.size(); }));
}

TEST(Dispatcher, LineParamsReadBackAndUnchangedValuesSkipTheDrainWait) {
    Rig rig;
    // A pseudo-terminal keeps speed and stop bits but always reads back as 8N.
    ASSERT_EQ(0, rig.disp.SetLineParams(9600, 2, 7, 2));
    uint32_t baud;
    uint8_t parity, data, stop;
    ASSERT_EQ(0, rig.disp.GetLineParams(baud, parity, data, stop));
    EXPECT_EQ(9600u, baud);
    EXPECT_EQ(2, stop);
    EXPECT_EQ(-2002, rig.disp.SetSpeed(12345));
    EXPECT_EQ(-2003, rig.disp.SetLineParams(0, 5, 4, 3));
    EXPECT_EQ(-1002, rig.disp.SetLineParams(0, 6, 9, 3));
    ASSERT_EQ(0, rig.disp.SetLineParams(115200, 0, 8, 1));
    ASSERT_EQ(0, rig.disp.GetLineParams(baud, parity, data, stop));
    EXPECT_EQ(115200u, baud);
    EXPECT_EQ(1, stop);

    // With the output stuck behind a peer that does not read, unchanged values return at
    // once: no drain wait, no device change.
    std::vector<uint8_t> written;
    stallOutput(rig, written);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, rig.disp.SetLineParams(115200, 0, 8, 1));
    EXPECT_EQ(0, rig.disp.SetSpeed(0));
    // The drain wait would last its full ten seconds here, the peer never reading.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);

    // Flow control arguments.
    EXPECT_EQ(-1002, rig.disp.SetHardwareFlow(100, 200, 2));
    EXPECT_EQ(-1002, rig.disp.SetHardwareFlow(9000, 100, 2));
    EXPECT_EQ(-1002, rig.disp.SetSoftwareFlow(100, 200, 1));
    rig.pty.read(written.size(), 5s);
    ASSERT_EQ(0, rig.disp.SetHardwareFlow(7372, 819, 2 | 8));
    auto b = rig.disp.DeviceBlock();
    EXPECT_EQ(2, b.rtsControl);
    EXPECT_TRUE(b.outxCtsFlow);
    EXPECT_EQ(8192 - 7372, b.xoffLim);
    EXPECT_EQ(819, b.xonLim);
    EXPECT_EQ(1, rig.disp.SetRts(false)); // under handshake: left alone
    ASSERT_EQ(0, rig.disp.SetSoftwareFlow(6000, 2000, 3));
    b = rig.disp.DeviceBlock();
    EXPECT_TRUE(b.inX);
    EXPECT_TRUE(b.outX);
    // The handshake lands in the terminal's own settings.
    auto termiosOf = [&] {
        int fd = ::open(rig.pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        ::tcgetattr(fd, &t);
        ::close(fd);
        return t;
    };
    termios t = termiosOf();
    EXPECT_NE(0u, t.c_cflag & CRTSCTS);
    EXPECT_NE(0u, t.c_iflag & IXON);
    EXPECT_NE(0u, t.c_iflag & IXOFF);
    ASSERT_EQ(0, rig.disp.ClearSoftwareFlow());
    EXPECT_FALSE(rig.disp.DeviceBlock().outX);
    t = termiosOf();
    EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF));
}

TEST(Dispatcher, ALineChangeWaitsForTheOutputToDrain) {
    Rig rig;
    std::vector<uint8_t> written;
    stallOutput(rig, written);
    ASSERT_GT(rig.disp.OutputUsed(), 0u);
    std::vector<uint8_t> got;
    std::thread peer([&] {
        std::this_thread::sleep_for(300ms);
        got = rig.pty.read(written.size(), 5s);
    });
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(0, rig.disp.SetSpeed(9600));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 290ms);
    EXPECT_EQ(0u, rig.disp.OutputUsed());
    peer.join();
    EXPECT_TRUE(got == written);
}

TEST(Dispatcher, CloseFromInsideAHandlerStopsFurtherNotifications) {
    Rig rig;
    Proc proc;
    proc.body = [&](TBaseDispatcher &d, const Proc::Event &e) {
        if (e.msg == MsgTriggerAvail) {
            EXPECT_EQ(0, d.CloseDevice());
            EXPECT_TRUE(d.Closing());
            EXPECT_EQ(-2007, d.WriteText("ATH\r")); // nowhere to go: said, not dropped
        }
    };
    proc.attach(rig.disp);
    ASSERT_EQ(0, rig.disp.SetAvailThreshold(1));
    int t = rig.disp.NewTimerTrigger();
    ASSERT_EQ(0, rig.disp.ArmTimerTrigger(t, 1, true));
    rig.pty.write("RING\r\n");
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerAvail) == 1; }, 2s));
    ASSERT_TRUE(waitFor([&] { return !rig.disp.ThreadsRunning(); }, 2s));
    EXPECT_TRUE(rig.disp.Closing());
    EXPECT_FALSE(rig.disp.IsOpen());
    // The threads have ended, so nothing more can come.
    EXPECT_EQ(1u, proc.locked([&] { return proc.events.size(); }));
    EXPECT_EQ(-2007, rig.disp.WriteText("AT\r"));
}

// A close from a thread that is not a handler of the running notification is a full close,
// done when it returns, even while a handler is still at work on the dispatch thread.
TEST(Dispatcher, CloseFromOutsideWhileAHandlerRunsIsComplete) {
    Rig rig;
    Proc proc;
    std::atomic<bool> inHandler{false};
    proc.body = [&](TBaseDispatcher &, const Proc::Event &e) {
        if (e.msg == MsgTriggerAvail) {
            inHandler = true;
            std::this_thread::sleep_for(100ms);
        }
    };
    proc.attach(rig.disp);
    ASSERT_EQ(0, rig.disp.SetAvailThreshold(1));
    rig.pty.write("RING\r\n");
    ASSERT_TRUE(waitFor([&] { return inHandler.load(); }, 2s));
    ASSERT_TRUE(rig.disp.InNotification());
    EXPECT_EQ(0, rig.disp.CloseDevice());
    EXPECT_FALSE(rig.disp.Closing());
    EXPECT_FALSE(rig.disp.ThreadsRunning());
    EXPECT_FALSE(rig.disp.InNotification());
}

// The application closes the port from its own thread while bytes stream in and a handler
// on the dispatch thread keeps asking the device for its signals and settings: the close
// waits for device calls in progress, no call reaches the descriptor after it is closed, and
// delivery stops.
TEST(Dispatcher, CloseFromAnotherThreadWhileHandlersUseTheDevice) {
    for (int round = 0; round < 5; ++round) {
        PtyPair pty;
        TSerialDispatcher disp;
        ASSERT_EQ(0, disp.OpenDevice(pty.slavePath(), 8192, 8192, true, true, 115200, 0, 8, 1));
        Proc proc;
        std::atomic<int> calls{0};
        proc.body = [&](TBaseDispatcher &d, const Proc::Event &e) {
            if (e.msg != MsgTriggerAvail) {
                return;
            }
            std::vector<uint8_t> sink(e.w);
            [[maybe_unused]] int rc = d.ReadBlock(sink.data(), e.w);
            // Long enough that the close usually lands in the middle of it.
            for (int i = 0; i < 100; ++i) {
                [[maybe_unused]] uint8_t status = d.ReadModemStatus(0xFF);
                [[maybe_unused]] platform::SerialBlock block = d.DeviceBlock();
                uint32_t baud = 0;
                uint8_t parity = 0, bits = 0, stop = 0;
                rc = d.GetLineParams(baud, parity, bits, stop);
                rc = d.SetDtr(true);
            }
            ++calls;
        };
        proc.attach(disp);
        ASSERT_EQ(0, disp.SetAvailThreshold(1));
        std::atomic<bool> stop{false};
        // Non-blocking, so that the peer never waits on a line nobody reads any more.
        ASSERT_EQ(0, ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK));
        std::thread peer([&] {
            std::vector<uint8_t> chunk(512, 0x55);
            while (!stop.load()) {
                if (::write(pty.master(), chunk.data(), chunk.size()) < 0) {
                    std::this_thread::sleep_for(1ms);
                }
            }
        });
        ASSERT_TRUE(waitFor([&] { return calls.load() > 20; }, 5s));
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(0, disp.CloseDevice());
        // It waits for the device call in progress, not for the handler; a close that hung
        // would not return at all.
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
        EXPECT_FALSE(disp.IsOpen());
        // A handler in progress when the close came finishes; the threads then run down.
        ASSERT_TRUE(waitFor([&] { return !disp.ThreadsRunning(); }, 10s));
        stop = true;
        peer.join();
    }
}

TEST(Dispatcher, VanishedDeviceIsALineErrorAndClosesCleanly) {
    Rig rig;
    Proc proc;
    proc.attach(rig.disp);
    int lineErr = rig.disp.NewStatusTrigger(skLineErrors);
    int signals = rig.disp.NewStatusTrigger(skModemSignals);
    ASSERT_EQ(0, rig.disp.ArmStatusTrigger(lineErr, 8, true));    // break
    ASSERT_EQ(0, rig.disp.ArmStatusTrigger(signals, 0x80, true)); // DCD
    std::atomic<int> lost{0};
    platform::EventLoop loop;
    platform::MessageTarget window(loop, [&](platform::Message &m) -> std::optional<long> {
        if (m.number == MsgDeviceLost) {
            EXPECT_EQ(rig.disp.Handle(), static_cast<int32_t>(m.lParam >> 16));
            ++lost;
            return 0;
        }
        return std::nullopt;
    });
    ASSERT_EQ(0, rig.disp.AddWindowHandler(window.handle()));
    ASSERT_EQ(0, rig.disp.WriteText("ATA\r"));
    rig.pty.closeMaster();
    ASSERT_TRUE(loop.runUntil([&] { return lost.load() == 1; }, 3000ms));
    EXPECT_TRUE(rig.disp.DeviceLost());
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerStatus) == 2; }, 2s));
    EXPECT_EQ(9, rig.disp.TakeLineError());
    EXPECT_FALSE(rig.disp.CarrierPresent());
    // Writing to a gone device neither blocks nor crashes; closing is prompt.
    EXPECT_EQ(0, rig.disp.WriteText("more"));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, rig.disp.CloseDevice());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s); // a close stuck on the device never ends
}

TEST(Dispatcher, HandedOverDescriptorAndOpenFailures) {
    PtyPair pty;
    TTapiDispatcher none(nullptr, 0);
    EXPECT_EQ(-2007, none.OpenDevice("", 8192, 8192, true, true, 19200, 0, 8, 1));
    int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    {
        TTapiDispatcher disp(nullptr, fd);
        ASSERT_EQ(0, disp.OpenDevice("", 8192, 8192, true, true, 19200, 0, 8, 1));
        ASSERT_EQ(0, disp.WriteText("AT\r"));
        auto got = pty.read(3, 2s);
        EXPECT_EQ("AT\r", std::string(got.begin(), got.end()));
        EXPECT_EQ(0, disp.CloseDevice());
    }
    // The giver's descriptor is still its own.
    EXPECT_EQ(1, ::write(fd, "x", 1));
    ::close(fd);

    TSerialDispatcher missing;
    EXPECT_EQ(-2, missing.OpenDevice("/dev/quillon-no-such-tty", 64, 64, true, true, 0, 5, 9, 3));
    TSerialDispatcher first, second;
    ASSERT_EQ(0, first.OpenDevice(pty.slavePath(), 64, 64, true, true, 0, 5, 9, 3));
    EXPECT_EQ(-5, second.OpenDevice(pty.slavePath(), 64, 64, true, true, 0, 5, 9, 3));
    EXPECT_EQ(0, first.CloseDevice());
}

TEST(Dispatcher, AThrowingProcedureHandlerIsReportedAndDispatchGoesOn) {
    Rig rig;
    std::mutex m;
    std::vector<std::string> shown;
    auto previous =
        platform::SetMessageBoxHook([&](const std::string &text, const std::string &,
                                        platform::MessageKind, platform::MessageButtons) {
            std::lock_guard lock(m);
            shown.push_back(text);
            return platform::kIdOk;
        });
    Proc proc;
    proc.body = [&](TBaseDispatcher &d, const Proc::Event &e) {
        if (e.msg == MsgTriggerAvail) {
            for (uint32_t i = 0; i < e.w; ++i) {
                [[maybe_unused]] int b = d.ReadByte();
            }
            if (proc.events.size() == 1) {
                throw std::runtime_error("handler failed");
            }
        }
    };
    proc.attach(rig.disp);
    ASSERT_EQ(0, rig.disp.SetAvailThreshold(1));
    rig.pty.write("A");
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerAvail) == 1; }, 2s));
    rig.pty.write("B");
    ASSERT_TRUE(waitFor([&] { return proc.count(MsgTriggerAvail) == 2; }, 2s));
    platform::SetMessageBoxHook(previous);
    std::lock_guard lock(m);
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ("handler failed", shown[0]);
}

TEST(Dispatcher, RegistryReusesTheFirstEmptySlot) {
    size_t base = TBaseDispatcher::RegistrySize();
    auto a = std::make_unique<TSerialDispatcher>();
    auto b = std::make_unique<TSerialDispatcher>();
    auto c = std::make_unique<TSerialDispatcher>();
    EXPECT_EQ(static_cast<int32_t>(base), a->Handle());
    EXPECT_EQ(b.get(), TBaseDispatcher::FromHandle(b->Handle()));
    int32_t bh = b->Handle();
    b.reset();
    EXPECT_EQ(nullptr, TBaseDispatcher::FromHandle(bh));
    TSerialDispatcher d;
    EXPECT_EQ(bh, d.Handle());
    c.reset();
    EXPECT_EQ(base + 2, TBaseDispatcher::RegistrySize());
}

} // namespace
} // namespace quillon::comm
