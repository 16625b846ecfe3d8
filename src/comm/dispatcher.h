#pragma once

// The comm dispatcher: owns one open serial device, moves bytes between the device and two
// rings in memory (a fixed 8192-byte input ring and an output ring of the port's OutSize),
// watches the device's events, runs the trigger engine (avail, timer, status and data
// triggers) and delivers each trigger to its handlers: procedure handlers directly on the
// dispatch thread, window handlers through a synchronous send with a 3000 ms limit.
//
// Threads (per open device): the reader (TComThread) waits for the descriptor's events,
// fills the input ring and hands each event to the dispatch thread (TDispThread), which
// scans the ring and runs triggers, timers and handlers (polling at least every 50 ms, and
// woken at once when data arrives or output completes); the writer (TOutThread) drains the
// output ring. The reader does not wait for the dispatch thread, so reading overlaps the
// handlers.
//
// Owner: the comm port (TCustomComPort), or a test or tool that drives it directly. Every
// operation returns 0 or a negative error code (see error_codes.h) unless it names another
// result; the dispatcher raises nothing except the two thread-state errors ("Dispatcher
// already started", "Dispatcher not running") as std::logic_error. No lock is held while a
// handler runs, so handlers may call every operation.
//
// Use from the fax engine (on the dispatch thread, inside its procedure handler):
//   disp->AddProcHandler(&Engine::OnTrigger, engine);      // or keep context in slot 2
//   int t = disp->NewTimerTrigger(); disp->ArmTimerTrigger(t, SecsToTicks(3), true);
//   disp->SetAvailThreshold(1);                             // MsgTriggerAvail per arrival
//   while (disp->InputReady()) { int b = disp->ReadByte(); ... }
//   disp->WriteBlock(frame, n);
// A procedure handler may read bytes; while a MsgTriggerAvail or MsgTriggerData notification
// is delivered, reads only peek (each handler of one notification sees the same bytes) and
// the ring gives up as many bytes as the hungriest handler read when the pass ends.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/trace_log.h"
#include "platform/event_loop.h"
#include "platform/serial_device.h"

namespace quillon::comm {

class TBaseComponent;

// Notification messages; the high word of the second parameter is the dispatcher handle.
inline constexpr uint32_t MsgTriggerAvail = 0x7E01;
inline constexpr uint32_t MsgTriggerData = 0x7E02;
inline constexpr uint32_t MsgTriggerTimer = 0x7E03;
inline constexpr uint32_t MsgTriggerStatus = 0x7E04;
inline constexpr uint32_t MsgPortClose = 0x7E0A;
// Posted (not sent) to the window handlers when the device went away (the other side of a
// pseudo-terminal closed, a USB adapter was unplugged); the comm port closes on it.
inline constexpr uint32_t MsgDeviceLost = 0x7E0B;

enum TStatusKind : int32_t {
    skNone = 0,
    skModemSignals = 1,
    skLineErrors = 2,
    skOutputFree = 3,
    skOutputUsed = 4,
    skOutputSent = 5,
};

// Ticks of the platform's 32-bit millisecond clock divided by 55 (18.2 per second).
inline constexpr int32_t kMsPerTick = 55;
inline constexpr int32_t kMaxTimerTicks = 39045157;
// The tick clock wraps with the millisecond clock: 2^32 / 55 ticks.
inline constexpr int64_t kTickModulus = (int64_t{1} << 32) / kMsPerTick + 1;
constexpr int32_t SecsToTicks(int32_t seconds) {
    return static_cast<int32_t>(int64_t{seconds} * 1675 / 92);
}
constexpr int32_t TicksToSecs(int32_t ticks) {
    return static_cast<int32_t>((int64_t{ticks} + 9) * 92 / 1675);
}

inline constexpr uint32_t kInputRingSize = 8192;
inline constexpr int kMaxDataTrigger = 22;
inline constexpr int32_t kAvailHandle = 1;
inline constexpr std::chrono::milliseconds kWindowSendTimeout{3000};

struct TTimerTrigger {
    int32_t handle = 0;
    int32_t startTick = 0;
    int32_t expiryTick = 0;
    int32_t interval = 0;
    bool active = false;
};

struct TStatusTrigger {
    int32_t handle = 0;
    int32_t kind = skNone;
    uint16_t value = 0;
    bool active = false;
    bool hit = false;
};

struct TDataTrigger {
    int32_t handle = 0;
    int32_t length = 0;
    uint32_t progress = 0; // bit k-1 set: the last k bytes match the first k of the string
    bool fired = false;
    bool ignoreCase = false;
    std::string match;
};

// A caller-held copy of the trigger lists (SaveTriggers / RestoreTriggers).
struct TTriggerSave {
    uint32_t availThreshold = 0;
    std::vector<TTimerTrigger> timers;
    std::vector<TStatusTrigger> statuses;
    std::vector<TDataTrigger> datas;
    bool saved = false;
};

// A procedure handler; called on the dispatch thread with (message, first parameter,
// second parameter) and the context given when it was added.
using TTriggerProc = void (*)(uint32_t msg, uint32_t wParam, int32_t lParam, void *context);

class TBaseDispatcher {
  public:
    explicit TBaseDispatcher(TBaseComponent *owner = nullptr);
    virtual ~TBaseDispatcher();
    TBaseDispatcher(const TBaseDispatcher &) = delete;
    TBaseDispatcher &operator=(const TBaseDispatcher &) = delete;

    // The process-wide registry: the dispatcher with a handle, and its owner. Both are
    // looked up under the registry lock; the caller must know the dispatcher stays alive
    // (the comm port frees its dispatcher only on its own thread).
    static TBaseDispatcher *FromHandle(int32_t handle);
    static TBaseComponent *OwnerOfHandle(int32_t handle);
    static size_t RegistrySize();

    [[nodiscard]] int32_t Handle() const { return handle_; }
    [[nodiscard]] TBaseComponent *Owner() const { return owner_; }

    // ---- device and line ----
    // Opens the device (by path for TSerialDispatcher; the handed-over descriptor for
    // TTapiDispatcher, where `name` is ignored) and starts the threads.
    [[nodiscard]] int OpenDevice(const std::string &name, uint32_t inSize, uint32_t outSize,
                                 bool dtr, bool rts, uint32_t baud, uint8_t parity,
                                 uint8_t dataBits, uint8_t stopBits);
    [[nodiscard]] int CloseDevice();
    [[nodiscard]] bool IsOpen() const;
    [[nodiscard]] int SetLineParams(uint32_t baud, uint8_t parity, uint8_t dataBits,
                                    uint8_t stopBits);
    [[nodiscard]] int SetSpeed(uint32_t baud) { return SetLineParams(baud, 5, 9, 3); }
    [[nodiscard]] int GetLineParams(uint32_t &baud, uint8_t &parity, uint8_t &dataBits,
                                    uint8_t &stopBits);
    [[nodiscard]] int SetSignals(bool dtr, bool rts);
    [[nodiscard]] int SetDtr(bool on);
    [[nodiscard]] int SetRts(bool on);
    [[nodiscard]] uint8_t ReadModemStatus(uint8_t mask);
    [[nodiscard]] bool CarrierPresent() { return (ReadModemStatus(0xF7) & 0x80) != 0; }
    [[nodiscard]] int TakeLineError();
    [[nodiscard]] bool TakeLineBreak();
    [[nodiscard]] int SetQueueSizes(uint32_t inSize, uint32_t outSize);
    [[nodiscard]] platform::SerialBlock DeviceBlock();
    void SetRS485Mode(bool on);
    void SetBaseAddress(uint16_t address);
    // True once the device went away while open (it then reads as closed).
    [[nodiscard]] bool DeviceLost() const { return deviceLost_.load(); }

    // ---- input ----
    [[nodiscard]] uint32_t InputCount();
    [[nodiscard]] bool InputReady();
    [[nodiscard]] int PeekByte(uint32_t n);
    [[nodiscard]] int ReadByte();
    // Reads exactly `len` bytes (as many ReadByte calls would), or -3005 and nothing when
    // fewer are unread.
    [[nodiscard]] int ReadBlock(uint8_t *data, uint32_t len);
    [[nodiscard]] int PurgeInput();

    // ---- output ----
    [[nodiscard]] int WriteBlock(const void *data, uint32_t len);
    [[nodiscard]] int WriteText(const std::string &s) {
        return WriteBlock(s.data(), static_cast<uint32_t>(s.size()));
    }
    [[nodiscard]] int WriteByte(uint8_t b) { return WriteBlock(&b, 1); }
    [[nodiscard]] uint32_t OutputUsed();
    [[nodiscard]] uint32_t OutputFree();
    [[nodiscard]] int PurgeOutput();

    // ---- flow control ----
    [[nodiscard]] int SetHardwareFlow(uint32_t full, uint32_t resume, uint32_t options);
    [[nodiscard]] int SetSoftwareFlow(uint32_t full, uint32_t resume, uint32_t options);
    [[nodiscard]] int ClearSoftwareFlow();
    [[nodiscard]] int SetFlowChars(uint8_t xon, uint8_t xoff);

    // ---- triggers ----
    [[nodiscard]] int SetAvailThreshold(uint32_t n);
    [[nodiscard]] uint32_t AvailThreshold();
    [[nodiscard]] int NewTimerTrigger();
    [[nodiscard]] int NewStatusTrigger(int32_t kind);
    // A match-string trigger: at most 22 characters (else -5002), empty -> -1002.
    [[nodiscard]] int NewDataTrigger(const std::string &match, bool ignoreCase);
    [[nodiscard]] int ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate);
    [[nodiscard]] int ArmStatusTrigger(int32_t handle, uint16_t value, bool activate);
    [[nodiscard]] int DropTrigger(int32_t handle);
    void SaveTriggers(TTriggerSave &set);
    void RestoreTriggers(const TTriggerSave &set);

    // ---- handlers ----
    [[nodiscard]] int AddWindowHandler(const platform::TargetHandle &window);
    [[nodiscard]] int RemoveWindowHandler(const platform::TargetHandle &window);
    [[nodiscard]] int AddProcHandler(TTriggerProc proc, void *context = nullptr);
    [[nodiscard]] int RemoveProcHandler(TTriggerProc proc, void *context = nullptr);
    [[nodiscard]] int SetHandlerMode(int mode);
    bool SwapBusy(bool value);
    [[nodiscard]] int SetUserSlot(int index, void *pointer);
    [[nodiscard]] void *GetUserSlot(int index);
    [[nodiscard]] int YieldSlice();
    // True while a notification pass runs (a handler is being called).
    [[nodiscard]] bool InNotification() const { return inPass_.load(); }
    [[nodiscard]] bool Closing() const { return closing_.load(); }
    [[nodiscard]] bool ThreadsRunning() const { return runningThreads_.load() != 0; }

    // ---- trace and log ----
    [[nodiscard]] int StartTrace(uint32_t entries);
    void StopTrace();
    void ClearTrace();
    void PauseTrace();
    void ResumeTrace();
    [[nodiscard]] int WriteTrace(const std::string &file, bool append, bool hex);
    [[nodiscard]] bool TraceOn();
    [[nodiscard]] uint32_t TraceCapacity();
    [[nodiscard]] int StartLog(uint32_t bytes);
    void StopLog();
    void ClearLog();
    void PauseLog();
    void ResumeLog();
    [[nodiscard]] int WriteLog(const std::string &file, bool append, bool hex);
    [[nodiscard]] bool LogOn();
    void AddLogEntry(uint8_t type, uint8_t subtype, uint32_t length, const void *data,
                     uint32_t otherData);
    // Copies for inspection.
    [[nodiscard]] std::string TraceText(bool hex);
    [[nodiscard]] std::vector<TLogRing::Entry> LogEntries();

    // ---- clock ----
    // The tick clock: the 32-bit millisecond clock / 55. Tests may shift the millisecond
    // clock (to cross its wrap); the shift is process-wide.
    [[nodiscard]] static int32_t NowTicks();
    static void SetClockOffsetForTest(int64_t ms);
    [[nodiscard]] static uint32_t NowMs();

  protected:
    // The device-specific part of opening: 0 or a negative code.
    [[nodiscard]] virtual int OpenHandle(const std::string &name) = 0;
    platform::SerialDevice device_;

  private:
    struct Handlers;
    struct Event;

    // Opening and closing.
    void StartThreads();
    void StopThreads();
    void StopIoThreads();
    void JoinThreads();
    void FreeBuffers();
    void ComThreadMain();
    void DispThreadMain();
    void OutThreadMain();
    void ThreadEnded();

    // Passes (dispatch thread).
    void EventPass(uint32_t mask);
    void PollPass();
    uint32_t FillInputRing();
    bool InputRingFull();
    bool LinePausedOnly();
    bool ScanData();
    bool EvalStatus();
    bool EvalTimer();
    void RunStatusLoop();
    void ClearHitFlags();
    bool Deliver(uint32_t msg, uint32_t first, uint16_t secondLow);
    void DeviceGone();
    int WaitTimeoutMs();

    // Helpers under the locks.
    void RefreshModemStatusLocked();
    void RefreshLineErrorsLocked();
    uint8_t ReadModemStatusLocked(uint8_t mask);
    int ApplyBlockLocked(const platform::SerialBlock &block);
    void WaitOutputDrain();
    uint32_t OutputUsedNoRefresh();
    int32_t AllocHandleLocked();
    void RecomputeServiceLocked();
    void LogLocked(uint8_t type, uint8_t subtype, uint32_t other, const void *data = nullptr,
                   uint32_t length = 0);
    void PokeDispatch();
    void AbortOutput();           // on the writer thread: empties the output ring, acknowledges
    void EmptyOutputRingLocked(); // output lock held
    bool CalledFromNotification();
    void RecountOutputTriggersLocked();

    TBaseComponent *owner_;
    int32_t handle_ = -1;

    // Locks: the input lock is the outer one; the output and state locks are never held
    // together.
    std::recursive_mutex stateLock_;
    std::recursive_mutex inputLock_;
    std::mutex outputLock_;

    // State lock.
    uint32_t inSize_ = 0;
    uint32_t outSize_ = 0;
    uint32_t lineErrors_ = 0;
    uint8_t modemStatus_ = 0;
    bool ringSeen_ = false;
    platform::SerialBlock block_;
    platform::SerialCounters counters_;
    bool haveCounters_ = false;
    uint32_t lastBaud_ = 115200;
    uint8_t dtrState_ = 1;
    uint8_t rtsState_ = 1;
    bool dtrAuto_ = false;
    bool rtsAuto_ = false;
    bool rs485_ = false;
    uint16_t baseAddress_ = 0;
    bool portHandlerInstalled_ = false;
    bool handlerServiceNeeded_ = false;
    std::unique_ptr<Handlers> handlers_;
    std::vector<TTimerTrigger> timers_;
    std::vector<TStatusTrigger> statuses_;
    std::vector<TDataTrigger> datas_;
    uint32_t availThreshold_ = 0;
    int32_t handleCounter_ = 1;
    bool statusHitThisPass_ = false;
    bool deletionPending_ = false;
    bool outputSent_ = false;
    std::array<void *, 3> userSlots_{};
    TTraceRing trace_;
    TLogRing log_;
    uint32_t openTimeMs_ = 0;
    std::atomic<bool> busy_{false};
    std::atomic<bool> traceOn_{false};        // mirror of trace_.On() for the byte paths
    std::atomic<bool> logOn_{false};          // mirror of log_.On()
    std::atomic<bool> outputTriggers_{false}; // an output status trigger is armed

    // Input lock.
    std::vector<uint8_t> inRing_;
    uint64_t writeTotal_ = 0; // bytes ever put into the ring
    uint64_t readTotal_ = 0;  // bytes ever taken out
    uint64_t inputPurges_ = 0;
    uint64_t lastScanned_ = 0;
    uint64_t lastNotified_ = 0;
    bool lastNotifiedValid_ = false;
    bool pendingData_ = false;
    uint32_t peekCount_ = 0;
    uint32_t maxPeekCount_ = 0;
    bool inAvailNotification_ = false;
    bool overflowSeen_ = false;

    // Output lock.
    std::vector<uint8_t> outRing_;
    uint32_t head_ = 0;
    uint32_t tail_ = 0;
    bool outFull_ = false;

    // Threads.
    std::atomic<bool> open_{false};
    std::atomic<bool> killThreads_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> inPass_{false};
    platform::TargetHandle windowServed_; // the window a notification waits for (state lock)
    std::atomic<bool> deviceLost_{false};
    std::atomic<int> runningThreads_{0};
    std::atomic<bool> threadsActive_{false};
    std::atomic<bool> dispAlive_{false};
    std::atomic<bool> eventPending_{false};
    std::atomic<uint32_t> lastEventMask_{0};
    std::thread comThread_;
    std::thread dispThread_;
    std::thread outThread_;
    std::atomic<std::thread::id> dispThreadId_{};
    std::unique_ptr<Event> dispatchReady_; // TComThread -> TDispThread (and pokes)
    std::unique_ptr<Event> dispatchDone_;  // TDispThread has taken what the device had
    uint32_t lastFillBytes_ = 0;           // dispatch thread only
    std::atomic<uint64_t> bytesFilled_{0}; // tells the event waiter that its wake-up was used
    std::unique_ptr<Event> threadAck_;
    std::unique_ptr<Event> roomFree_; // input ring no longer full
    std::unique_ptr<Event> abortAck_; // TOutThread has seen output-abort
    platform::WakeFd comWake_;        // ends TComThread's device wait
    platform::WakeFd dispatchWake_;   // dispatch-ready, for TDispThread's wait on a pausing line
    platform::WakeFd outputReady_;
    platform::WakeFd outputAbort_;
    std::mutex endMutex_;
    std::condition_variable threadEnded_;
};

// A device opened by path (the comm port maps "COMn" to one).
class TSerialDispatcher : public TBaseDispatcher {
  public:
    using TBaseDispatcher::TBaseDispatcher;

  protected:
    int OpenHandle(const std::string &name) override;
};

// A descriptor handed over by the telephony line device; the dispatcher works on a copy,
// the giver keeps (and eventually closes) its own. A descriptor of 0 or below: -2007.
class TTapiDispatcher : public TBaseDispatcher {
  public:
    TTapiDispatcher(TBaseComponent *owner, int descriptor)
        : TBaseDispatcher(owner), descriptor_(descriptor) {}
    // The line settings of a handed-over descriptor, read before the port opens on it.
    static int ReadDeviceBlock(int descriptor, platform::SerialBlock &block);

  protected:
    int OpenHandle(const std::string &name) override;

  private:
    int descriptor_;
};

// The library code for a platform errno: the platform file and device numbers of the
// message table where one fits (2 not found, 3 path, 4 too many files, 5 access denied or
// in use, 6 bad handle, 8 memory), else the errno itself. Positive.
int PlatformError(int err);

} // namespace quillon::comm
