#pragma once

// Helpers shared by the session's source files.

#include <chrono>
#include <mutex>

#include "comm/dispatcher.h"

namespace quillon::fax::detail {

constexpr std::chrono::milliseconds TicksToDuration(int32_t ticks) {
    return std::chrono::milliseconds(int64_t{ticks} * comm::kMsPerTick);
}

// Keeps the pass lock of the running pass reachable for Unlocked() and puts the previous
// one back when a nested pass ends.
class PassScope {
  public:
    PassScope(std::unique_lock<std::mutex> *&slot, std::unique_lock<std::mutex> &lock)
        : slot_(slot), previous_(slot) {
        slot_ = &lock;
    }
    ~PassScope() { slot_ = previous_; }
    PassScope(const PassScope &) = delete;
    PassScope &operator=(const PassScope &) = delete;

  private:
    std::unique_lock<std::mutex> *&slot_;
    std::unique_lock<std::mutex> *previous_;
};

} // namespace quillon::fax::detail
