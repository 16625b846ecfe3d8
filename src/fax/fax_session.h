#pragma once

// The receive session of the fax engine: one per receive-fax component. It talks to the
// modem through the comm dispatcher with AT commands and result lines, and is driven by
// dispatcher notifications (received bytes and timer expiries) which each run one handler
// pass of the receive state machine. Class 1 states are in class1_receive.cpp, the states
// common to every class and page data in receive_states.cpp, the Class 2 and 2.0 states in
// class2_receive.cpp.
//
// Threads. Modem preparation and the start routine run on the caller's (user-interface)
// thread; so do the first handler pass and the cancel pass. Every other pass runs on the
// dispatcher's dispatch thread as a procedure handler. Passes are serialised by the pass
// lock; a pass gives the lock up only while it waits for the component in a synchronous
// notification, so that a cancel from inside an event handler (the controller's
// AbortSession from OnFaxStatus) runs to its end meanwhile. A pass whose session was
// finished by such a nested cancel ends as soon as its notification returns.
//
// The engine reaches its component only through the event window (messages 32418 to 32423;
// status, log, name, accept and error are sent with a 1000 ms limit, finish is posted). It
// never throws to its callers: errors are recorded (last error, OnFaxError) and the session
// ends with the finish notification. Property values and the read-only session values may
// be read from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "comm/dispatcher.h"
#include "fax/apf_file.h"
#include "fax/fax_codec.h"
#include "fax/fax_types.h"
#include "platform/event_loop.h"

namespace quillon::fax {

// Payload of the name request (kMsgName): the component fills in the name.
struct TNameRequest {
    std::string name;
};

// The settings the component's properties read and write (held in the session).
struct TSessionSettings {
    std::string stationId;
    std::string modemInit;
    TFaxClass faxClass = fcDetect;
    uint16_t desiredBps = 9600;
    bool desiredEcm = false;
    std::string faxFileExt = "APF";
    int32_t answerOnRing = 1;
    bool faxAndData = false;
    bool oneFax = false;
    bool constantStatus = false;
    std::string destinationDir;
    uint32_t options = 0; // 1 AbortNoConnect, 2 ExitOnError, 8 SoftwareFlow
    int32_t statusInterval = 1;
    int32_t initBaud = 0;
    int32_t normalBaud = 0;
};

inline constexpr uint32_t kOptAbortNoConnect = 1;
inline constexpr uint32_t kOptExitOnError = 2;
inline constexpr uint32_t kOptSoftwareFlow = 8;

class TFaxSession {
  public:
    TFaxSession(std::string_view stationId, platform::TargetHandle eventWindow);
    ~TFaxSession();
    TFaxSession(const TFaxSession &) = delete;
    TFaxSession &operator=(const TFaxSession &) = delete;

    // The port's dispatcher; set before every start (not while a session runs).
    void SetDispatcher(comm::TBaseDispatcher *dispatcher);
    [[nodiscard]] comm::TBaseDispatcher *Dispatcher() const { return disp_.load(); }

    // Synchronous modem preparation (speed, line reset, init strings, class detection and
    // selection, rate probe). False when a command failed; LastErrorCode() tells whether an
    // error was recorded.
    bool PrepareModem();
    // Session start: timers, triggers, the start routine, then the handler and its first
    // pass. Returns the last error (0 when the session runs). Does nothing and returns 0
    // when the session already runs.
    int32_t StartSession();
    // The cancel call of AbortSession: the handler with message 32416.
    void Cancel();
    // A handler pass; `second` carries the dispatcher handle in its high 16 bits.
    void ReceiveHandler(uint32_t message, uint32_t first, int32_t second);
    [[nodiscard]] bool Running() const { return running_.load(); }

    // ---- properties ----
    [[nodiscard]] TSessionSettings Settings() const;
    void UpdateSettings(const std::function<void(TSessionSettings &)> &change);
    // InitBaud: with a dispatcher attached and NormalBaud 0, NormalBaud first takes the
    // port's current speed.
    void SetInitBaud(int32_t baud);

    // ---- read-only session values ----
    [[nodiscard]] uint16_t SessionProgress() const { return progress_.load(); }
    [[nodiscard]] int32_t LastErrorCode() const { return lastError_.load(); }
    [[nodiscard]] uint16_t HangupCode() const { return hangupCode_.load(); }
    [[nodiscard]] uint16_t CurrentPage() const { return currentPage_.load(); }
    [[nodiscard]] int32_t BytesTransferred() const { return pageBytes_.load(); }
    [[nodiscard]] uint16_t ConnectBPS() const { return connectBps_.load(); }
    [[nodiscard]] bool FineResolution() const { return fine_.load(); }
    [[nodiscard]] bool WidePage() const { return wide_.load(); }
    [[nodiscard]] bool ErrorCorrection() const { return ecm_.load(); }
    [[nodiscard]] std::string RemoteStationID() const;
    [[nodiscard]] std::string FaxFileName() const;
    [[nodiscard]] uint8_t State() const { return stateMirror_.load(); }
    [[nodiscard]] int ModulationIndex() const { return modIndex_.load(); }
    [[nodiscard]] bool ModemInitialised() const { return modemInitialised_.load(); }

  private:
    friend class TFaxSessionTestAccess;
    struct PassEnded {}; // unwinds a pass whose session a nested cancel finished
    enum class Collect { Nothing, Line, Jump };
    enum class Timeout { None, State };

    // Pass machinery (fax_session.cpp).
    static void Proc(uint32_t msg, uint32_t wParam, int32_t lParam, void *context);
    void Pass(uint32_t message, uint32_t first);
    bool IsCollecting(uint8_t state) const;
    Collect CollectReply();
    void HandleFrame(std::span<const uint8_t> bytes);
    void HandleTimeout();
    void RunAction(bool dataEvent, bool timerEvent, bool cancel);
    void SetState(uint8_t s);
    void LogState();

    // Commands and replies.
    void SendCommand(std::string_view text);
    void SendFastCommand(std::string_view text);
    void SendRaw(std::string_view text, int delayMs);
    void ResetReply();
    void ClearReplyLine();
    bool ExecuteCommand(std::string_view text);
    bool ReadSyncLine(std::string &line);
    void DiscardInput();
    void ArmStateTimer(int32_t ticks);
    void DisarmStateTimer();
    void ArmStatusTimer();
    void SetReplyTimer(int32_t ticks);
    bool ReplyExpired() const;
    void SendFrame(uint8_t fcf, bool final, std::span<const uint8_t> info = {});
    static void Delay(int ms);

    // Preparation and start.
    bool PrepareLocked();
    void LineReset();
    TFaxClass DetectClass();
    bool RateProbe();
    void SwitchToSessionSpeed();
    void SwitchToInitSpeed();
    bool StartRoutine();
    void FinishSession();
    void StopSession();

    // Notifications to the component.
    void SendStatus(bool first, bool last);
    void SendLog(TFaxLogCode code);
    std::string RequestFileName();
    bool AskAccept();
    void ReportError(int32_t code);
    // Keeps the first failure of an engine call made during a step (a write to the modem, a
    // speed change, a file write). A step goes on to choose its next state, so the pass ends
    // the call through the error path with that code once the step has returned, instead of
    // the call failing seconds later on a time-out that hides the cause.
    void NoteFailure(int32_t rc) {
        if (rc < 0 && stepFailure_ == 0) {
            stepFailure_ = rc;
        }
    }
    // The kept failure, cleared.
    int32_t TakeFailure() { return std::exchange(stepFailure_, 0); }
    template <class F> auto Unlocked(F &&f);

    // Common states (receive_states.cpp).
    void StateInit();
    void StateWaiting();
    void StateAnswer();
    void StateStartPage();
    void StateGetPageData(bool timerEvent);
    void StateComplete();
    void StateAbort(bool cancel);
    void HangUp();
    int32_t OpenFaxFile();
    void CloseFaxFile();
    void SetProgress(uint16_t p) { progress_.store(p); }

    // Class 1 states (class1_receive.cpp).
    void Class1Action(bool dataEvent, bool timerEvent);
    void TrainingCheck(bool dataEvent);
    void AcceptAndOpen();
    void SetModulation(const TDcsParams &dcs);

    // Class 2 and 2.0 (class2_receive.cpp).
    bool Class2Prepare();
    bool Class2StartCommands();
    void Class2Init();
    void Class2Action(bool dataEvent, bool timerEvent);
    void Class2PageEnded();

    // ---- shared values (any thread) ----
    mutable std::mutex dataMutex_; // settings and the two strings below
    TSessionSettings settings_;
    std::string remoteId_;
    std::string faxFileName_;
    platform::TargetHandle eventWindow_;
    std::atomic<comm::TBaseDispatcher *> disp_{nullptr};
    std::atomic<uint16_t> progress_{0};
    std::atomic<int32_t> lastError_{0};
    std::atomic<uint16_t> hangupCode_{0};
    std::atomic<uint16_t> currentPage_{1};
    std::atomic<int32_t> pageBytes_{0};
    std::atomic<uint16_t> connectBps_{0};
    std::atomic<bool> fine_{false};
    std::atomic<bool> wide_{false};
    std::atomic<bool> ecm_{false};
    std::atomic<bool> running_{false};
    std::atomic<uint8_t> stateMirror_{rfInit};
    std::atomic<int> modIndex_{1};
    std::atomic<bool> modemInitialised_{false};

    // ---- pass lock ----
    std::mutex passMutex_;
    std::unique_lock<std::mutex> *passLock_ = nullptr; // the running pass's lock
    uint64_t finishGeneration_ = 0;                    // FinishSession count
    bool cancelPending_ = false;                       // a cancel arrived while rfAbort ran
    int32_t stepFailure_ = 0;                          // see NoteFailure

    // ---- session record (under the pass lock) ----
    TFaxClass activeClass_ = fcUnknown;
    bool statusRunning_ = false;
    uint8_t lastDataByte_ = 255;
    uint8_t fileState_ = 3;
    uint8_t state_ = rfInit;
    uint8_t startState_ = rfInit;
    bool eom_ = false;
    bool handlerRegistered_ = false;
    int32_t stateTimer_ = 0;
    int32_t statusTimer_ = 0;
    int32_t reserved_[3] = {0, 0, 0};

    // ---- modem record ----
    bool statusChanged_ = false;
    bool morePages_ = false;
    bool finalFrameSeen_ = false;
    bool pageConfirmed_ = false;
    bool atInitSpeed_ = false;
    uint8_t scanCode_ = 0;
    uint8_t lastFrameCode_ = 0;
    TReplyCollector collector_;
    int32_t replyTimeoutTicks_ = kReplyTimeoutTicks;
    int32_t answerTimeoutTicks_ = kAnswerTimeoutTicks;
    uint16_t minBytesPerLine_ = 0;
    uint16_t trainNonZero_ = 0;
    uint32_t trainBytes_ = 0;
    bool trainDle_ = false;
    bool trainingGivenUp_ = false; // FTT at the lowest rate: end the call once it is sent
    uint16_t retryCount_ = 0;
    int32_t ringCount_ = 0;
    std::string currentModulation_ = "24";
    std::string line_; // the last complete result line, for the state's action
    std::chrono::steady_clock::time_point replyExpiry_{};
    TCapabilities caps_;
    TApfWriter file_;
    bool busyBeforePrepare_ = false;
    std::string class2HangupKeyword_ = "FHNG";
};

} // namespace quillon::fax
