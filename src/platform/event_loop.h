#pragma once

// The message service: message targets (the hidden windows of the components), posted and
// sent messages, timers, file-descriptor watches and pumping, built on epoll, eventfd and
// timerfd. One loop belongs to one thread (the thread that created it); everything that
// crosses from a worker thread to that thread goes through post() or send().
//
// Exceptions: every exception thrown by a handler the loop calls (a posted or sent message's
// handler, a timer callback, a window timer, a descriptor watch) is caught where the loop
// called it and handed to the one application-wide exception handler (see
// SetApplicationExceptionHandler); the loop then goes on. A sender waiting for a handler that
// threw is released at once with a failure (nullopt), and a timer or watch whose callback threw
// stays armed and fires again. Nothing escapes pump() or run().
//
// The loop exposes one pollable descriptor, fd(), that is readable whenever something is
// due, so that another main loop (Qt's, through a QSocketNotifier) can drive it by calling
// pump() on the owning thread.

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace quillon::platform {

using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

inline constexpr uint32_t kWmTimer = 0x0113;
inline constexpr uint32_t kWmUser = 0x0400;

namespace detail {
struct LoopCore;
struct SendState;
} // namespace detail
class TargetHandle;
class MessageTarget;
class EventLoop;
namespace detail {} // namespace detail

// The application's unhandled-exception event: one handler for the whole process, called on the
// thread where the exception was caught (the loop's thread for handlers the loop calls).
// Exceptions that are not std::exception arrive as a std::runtime_error. Without a handler,
// one line goes to stderr. Returns the previous handler.
using ApplicationExceptionHandler = std::function<void(const std::exception &)>;
ApplicationExceptionHandler SetApplicationExceptionHandler(ApplicationExceptionHandler handler);
// Hands the exception in flight (call it inside a catch block) to the application's handler.
// `where` names the kind of handler for exceptions of unknown type.
void ReportCurrentException(const char *where = "an event handler") noexcept;

// A message: a number and two parameters, plus an optional shared payload. A sender whose
// time-out passes returns at once while the handler may still run later; anything the
// handler reads must therefore travel in the payload, never on the sender's stack.
struct Message {
    uint32_t number = 0;
    WParam wParam = 0;
    LParam lParam = 0;
    std::shared_ptr<void> payload;

    template <class T> T *payloadAs() const { return static_cast<T *>(payload.get()); }
    // True for a sent message whose sender stopped waiting before the handler ran.
    [[nodiscard]] bool senderGaveUp() const;
    [[nodiscard]] bool isSent() const { return send_ != nullptr; }

  private:
    friend struct detail::LoopCore;
    friend class TargetHandle;
    friend class MessageTarget;
    friend class EventLoop;
    std::shared_ptr<detail::SendState> send_;
};

// Returns the handler's result, or nullopt for "not mine": the default handling (result 0).
using MessageHandler = std::function<std::optional<LResult>(Message &)>;

// What a watched descriptor reported.
enum FdEvent : uint32_t {
    kFdRead = 1,
    kFdWrite = 2,
    kFdHangUp = 4,
    kFdError = 8,
};
using FdCallback = std::function<void(uint32_t events)>;

// A reference to a target that any thread may hold and copy. Posting through it after the
// target (or its loop) is gone does nothing and returns false.
class TargetHandle {
  public:
    TargetHandle() = default;

    bool post(uint32_t number, WParam wParam = 0, LParam lParam = 0,
              std::shared_ptr<void> payload = {}) const;
    // Runs the handler on the target's thread while the caller waits at most `timeout`.
    // Called on the target's own thread it is a direct call. Returns nullopt when the
    // time-out passed or the target is gone.
    std::optional<LResult> send(uint32_t number, WParam wParam, LParam lParam,
                                std::chrono::milliseconds timeout,
                                std::shared_ptr<void> payload = {}) const;
    [[nodiscard]] bool alive() const;
    // Whether the calling thread is the one that runs this target's handlers.
    [[nodiscard]] bool onOwnerThread() const;
    [[nodiscard]] uint64_t id() const { return id_; }
    explicit operator bool() const { return core_ != nullptr; }

  private:
    friend class MessageTarget;
    friend class EventLoop;
    TargetHandle(std::shared_ptr<detail::LoopCore> core, uint64_t id)
        : core_(std::move(core)), id_(id) {}
    std::shared_ptr<detail::LoopCore> core_;
    uint64_t id_ = 0;
};

// The hidden window of one object. Create and destroy it on the loop's thread; messages
// still queued for it when it is destroyed are dropped.
class MessageTarget {
  public:
    MessageTarget(EventLoop &loop, MessageHandler handler);
    explicit MessageTarget(MessageHandler handler); // on the calling thread's loop
    ~MessageTarget();
    MessageTarget(const MessageTarget &) = delete;
    MessageTarget &operator=(const MessageTarget &) = delete;

    [[nodiscard]] TargetHandle handle() const { return handle_; }
    [[nodiscard]] EventLoop &loop() const { return *loop_; }

    bool post(uint32_t number, WParam wParam = 0, LParam lParam = 0,
              std::shared_ptr<void> payload = {}) const {
        return handle_.post(number, wParam, lParam, std::move(payload));
    }
    std::optional<LResult> send(uint32_t number, WParam wParam, LParam lParam,
                                std::chrono::milliseconds timeout,
                                std::shared_ptr<void> payload = {}) const {
        return handle_.send(number, wParam, lParam, timeout, std::move(payload));
    }

    // A window timer: kWmTimer with wParam = timerId every intervalMs until killed.
    // Setting an existing id restarts it with the new interval.
    void setTimer(uint32_t timerId, uint32_t intervalMs);
    void killTimer(uint32_t timerId);

  private:
    EventLoop *loop_;
    TargetHandle handle_;
};

class EventLoop {
  public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop &) = delete;
    EventLoop &operator=(const EventLoop &) = delete;

    // The calling thread's loop, created on first use and destroyed when the thread ends.
    static EventLoop &current();

    // Readable whenever a message, a timer or a watched descriptor is due.
    [[nodiscard]] int fd() const;

    // Handles what is due now (messages queued before the call, expired timers, ready
    // descriptors) and returns how many were handled. Safe to call from inside a handler.
    size_t pump();
    // Waits at most `timeout` for something to become due, then pumps.
    size_t waitAndPump(std::chrono::milliseconds timeout);
    // Runs until quit(); returns quit's code.
    int run();
    void quit(int code = 0);
    // True between quit() and the moment run() returns for it: long operations that pump
    // stop early when the program is being asked to end.
    [[nodiscard]] bool quitPending() const;
    // Pumps until done() is true or the time-out passes; returns done().
    bool runUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout);

    [[nodiscard]] bool isOwnerThread() const;

    // Descriptor watches, level-triggered. The callback runs on the loop's thread; it is
    // not re-entered by a nested pump while it runs.
    uint64_t watchFd(int fd, uint32_t events, FdCallback callback);
    void modifyWatch(uint64_t watchId, uint32_t events);
    void removeWatch(uint64_t watchId);

    // A repeating timer with a callback; returns its id (never 0).
    uint64_t addTimer(uint32_t intervalMs, std::function<void()> callback);
    void setTimerInterval(uint64_t timerId, uint32_t intervalMs);
    void removeTimer(uint64_t timerId);

    struct Stats {
        uint64_t posted = 0;
        uint64_t sent = 0;
        uint64_t handled = 0;
        uint64_t dropped = 0;   // addressed to a target that no longer exists
        uint64_t defaulted = 0; // handler declined: default handling
        uint64_t timedOut = 0;  // sends whose sender gave up
    };
    [[nodiscard]] Stats stats() const;

  private:
    friend class MessageTarget;
    std::shared_ptr<detail::LoopCore> core_;
};

// A component-style timer owned by one object: interval in milliseconds, enabled flag and
// a callback, firing on the loop's thread until disabled.
class Timer {
  public:
    explicit Timer(EventLoop &loop = EventLoop::current()) : loop_(&loop) {}
    ~Timer() { setEnabled(false); }
    Timer(const Timer &) = delete;
    Timer &operator=(const Timer &) = delete;

    void setInterval(uint32_t ms);
    [[nodiscard]] uint32_t interval() const { return interval_; }
    void setEnabled(bool on);
    [[nodiscard]] bool enabled() const { return id_ != 0; }
    std::function<void()> onTimer;

  private:
    EventLoop *loop_;
    uint32_t interval_ = 1000;
    uint64_t id_ = 0;
};

} // namespace quillon::platform
