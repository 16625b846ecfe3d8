#pragma once

// Private parts of the comm dispatcher shared by its source files.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "comm/dispatcher.h"
#include "comm/error_codes.h"

namespace quillon::comm {

// Device event mask bits, as the event waiter reports them.
inline constexpr uint32_t kEvRxChar = 0x0001;
inline constexpr uint32_t kEvCts = 0x0008;
inline constexpr uint32_t kEvDsr = 0x0010;
inline constexpr uint32_t kEvRlsd = 0x0020;
inline constexpr uint32_t kEvBreak = 0x0040;
inline constexpr uint32_t kEvErr = 0x0080;
inline constexpr uint32_t kEvRing = 0x0100;
inline constexpr uint32_t kEvRingTe = 0x2000;
inline constexpr uint32_t kEvLost = 0x8000; // the device went away

// An auto-reset event.
struct TBaseDispatcher::Event {
    std::mutex mutex;
    std::condition_variable cv;
    bool set = false;

    platform::WakeFd *wake = nullptr; // also signalled, for a waiter that polls descriptors

    void Set() {
        {
            std::lock_guard lock(mutex);
            set = true;
        }
        cv.notify_all();
        if (wake != nullptr) {
            wake->signal();
        }
    }
    void Reset() {
        std::lock_guard lock(mutex);
        set = false;
    }
    // Takes the signalled state without waiting.
    bool Take() {
        std::lock_guard lock(mutex);
        return std::exchange(set, false);
    }
    bool WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        bool ok = cv.wait_for(lock, timeout, [this] { return set; });
        if (ok) {
            set = false;
        }
        return ok;
    }
};

struct TBaseDispatcher::Handlers {
    struct Window {
        platform::TargetHandle window;
        bool deleted = false;
    };
    struct Proc {
        TTriggerProc proc = nullptr;
        void *context = nullptr;
        bool deleted = false;
    };
    std::vector<Window> windows;
    std::vector<Proc> procs;
};

} // namespace quillon::comm
