// Ten megabytes each way through the dispatcher on a pty pair at the same time, the peer
// writing in random chunk sizes, while avail, data and timer triggers fire: nothing lost,
// nothing reordered, every data-trigger match reported once.

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "comm/dispatcher.h"
#include "pty_pair.h"

namespace quillon::comm {
namespace {

using namespace std::chrono_literals;
using quillon::testing::PtyPair;

constexpr size_t kBytes = 10 * 1024 * 1024;

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto &b : v) {
        b = static_cast<uint8_t>(rng());
    }
    return v;
}

size_t countMatches(const std::vector<uint8_t> &v, uint8_t a, uint8_t b) {
    size_t n = 0;
    for (size_t i = 1; i < v.size(); ++i) {
        n += v[i - 1] == a && v[i] == b ? 1 : 0;
    }
    return n;
}

struct Receiver {
    const std::vector<uint8_t> *expected = nullptr;
    size_t pos = 0;
    bool mismatch = false;
    size_t datas = 0;
    size_t timers = 0;
    size_t avails = 0;
    int timer = 0;
    std::atomic<size_t> received{0};
    std::vector<uint8_t> buf = std::vector<uint8_t>(kInputRingSize);
    TBaseDispatcher *disp = nullptr;

    static void Proc(uint32_t msg, uint32_t w, int32_t, void *ctx) {
        auto &r = *static_cast<Receiver *>(ctx);
        if (msg == MsgTriggerAvail) {
            ++r.avails;
            // Alternate single-byte and block reads.
            uint32_t n = w;
            if (r.avails % 2 == 0 && n > 0) {
                auto b = static_cast<uint8_t>(r.disp->ReadByte());
                r.check(&b, 1);
                --n;
            }
            if (n > 0 && r.disp->ReadBlock(r.buf.data(), n) == 0) {
                r.check(r.buf.data(), n);
            }
        } else if (msg == MsgTriggerData) {
            ++r.datas;
        } else if (msg == MsgTriggerTimer) {
            ++r.timers;
            [[maybe_unused]] int rc = r.disp->ArmTimerTrigger(r.timer, 1, true);
        }
    }
    void check(const uint8_t *p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (pos + i >= expected->size() || (*expected)[pos + i] != p[i]) {
                mismatch = true;
            }
        }
        pos += n;
        received = pos;
    }
};

TEST(DispatcherStream, TenMegabytesEachWayWhileTriggersFire) {
    PtyPair pty;
    TSerialDispatcher disp;
    ASSERT_EQ(0, disp.OpenDevice(pty.slavePath(), 8192, 8192, true, true, 115200, 0, 8, 1));
    auto inbound = pattern(kBytes, 1);
    auto outbound = pattern(kBytes, 2);
    Receiver r;
    r.expected = &inbound;
    r.disp = &disp;
    ASSERT_EQ(0, disp.AddProcHandler(&Receiver::Proc, &r));
    ASSERT_GT(disp.NewDataTrigger("\x10\x03", false), 0); // DLE ETX
    r.timer = disp.NewTimerTrigger();
    ASSERT_EQ(0, disp.ArmTimerTrigger(r.timer, 1, true));
    ASSERT_EQ(0, disp.SetAvailThreshold(1));

    std::thread peerWriter([&] {
        std::mt19937 rng(3);
        size_t at = 0;
        while (at < inbound.size()) {
            size_t n = std::min<size_t>(1 + rng() % 6000, inbound.size() - at);
            pty.write(inbound.data() + at, n);
            at += n;
        }
    });
    std::vector<uint8_t> got;
    std::thread peerReader([&] {
        got.reserve(outbound.size());
        while (got.size() < outbound.size()) {
            auto chunk = pty.read(outbound.size() - got.size(), 5s);
            if (chunk.empty()) {
                break;
            }
            got.insert(got.end(), chunk.begin(), chunk.end());
        }
    });
    std::mt19937 rng(4);
    size_t at = 0;
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (at < outbound.size() && std::chrono::steady_clock::now() < deadline) {
        auto n = static_cast<uint32_t>(std::min<size_t>(1 + rng() % 3000, outbound.size() - at));
        int rc = disp.WriteBlock(outbound.data() + at, n);
        if (rc == -3006) {
            std::this_thread::sleep_for(100us);
            continue;
        }
        ASSERT_EQ(0, rc);
        at += n;
    }
    peerWriter.join();
    peerReader.join();
    ASSERT_TRUE(quillon::testing::waitFor([&] { return r.received.load() == kBytes; }, 10s))
        << r.received.load();
    EXPECT_EQ(kBytes, at);
    ASSERT_EQ(0, disp.CloseDevice());
    EXPECT_FALSE(r.mismatch);
    EXPECT_EQ(kBytes, r.pos);
    EXPECT_EQ(countMatches(inbound, 0x10, 0x03), r.datas);
    EXPECT_GT(r.timers, 0u);
    ASSERT_EQ(outbound.size(), got.size());
    EXPECT_TRUE(got == outbound);
}

} // namespace
} // namespace quillon::comm
