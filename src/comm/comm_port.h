#pragma once

// The comm port component: the rest of the system reaches a serial device through it. It
// holds the line and buffer settings as properties, creates and owns a comm dispatcher while
// open, applies every property change to the open device, turns dispatcher error codes into
// exceptions (CheckException), and turns the dispatcher's trigger notifications into
// component events on the thread that created it (the user-interface thread), through its
// hidden notification window.
//
// With TapiMode = tmOn it does not open a device by number but wraps the descriptor that the
// telephony line device obtained (SetTapiDescriptor); the port works on its own copy of it.
// "COMn" numbers map to device paths as port_names.h describes.
//
// Every operation runs on the owning thread. Errors are raised as the ECommException family
// (error_codes.h).

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comm/base_component.h"
#include "comm/dispatcher.h"
#include "comm/error_codes.h"
#include "platform/event_loop.h"

namespace quillon::comm {

enum TDeviceLayer { dlWin16, dlFossil, dlWin32, dlWinsock };
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum THWFlowOption { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };

// A set of THWFlowOption.
class THWFlowOptions {
  public:
    constexpr THWFlowOptions() = default;
    constexpr THWFlowOptions(std::initializer_list<THWFlowOption> options) {
        for (auto o : options) {
            bits_ |= static_cast<uint8_t>(1u << o);
        }
    }
    [[nodiscard]] constexpr bool Contains(THWFlowOption o) const { return bits_ & (1u << o); }
    constexpr void Include(THWFlowOption o) { bits_ |= static_cast<uint8_t>(1u << o); }
    constexpr void Exclude(THWFlowOption o) { bits_ &= static_cast<uint8_t>(~(1u << o)); }
    [[nodiscard]] constexpr bool Empty() const { return bits_ == 0; }
    // The dispatcher's option bits: hwfUseDTR 1, hwfUseRTS 2, hwfRequireDSR 4, hwfRequireCTS 8.
    [[nodiscard]] constexpr uint32_t Bits() const { return bits_; }
    constexpr bool operator==(const THWFlowOptions &) const = default;

  private:
    uint8_t bits_ = 0;
};

class TCustomComPort;

// Events; each receives the port first.
using TTriggerEvent =
    std::function<void(TCustomComPort &CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TCustomComPort &CP, uint16_t Count)>;
using TTriggerHandleEvent = std::function<void(TCustomComPort &CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent =
    std::function<void(TCustomComPort &CP, uint16_t Error, bool LineBreak)>;
using TPortEvent = std::function<void(TCustomComPort &CP)>;
using TWaitCharEvent = std::function<void(TCustomComPort &CP, char C)>;

// Exceptions raised by event handlers go to the application's exception handler, the event
// loop's one route for them.
using TApplicationExceptionHandler = platform::ApplicationExceptionHandler;
using platform::SetApplicationExceptionHandler;

class TCustomComPort : public TBaseComponent {
  public:
    explicit TCustomComPort(std::string name = "ComPort1");
    ~TCustomComPort() override;

    // ---- properties ----
    [[nodiscard]] TDeviceLayer DeviceLayer() const { return deviceLayer_; }
    void SetDeviceLayer(TDeviceLayer v);
    [[nodiscard]] uint16_t ComNumber() const { return comNumber_; }
    void SetComNumber(uint16_t v);
    [[nodiscard]] int32_t Baud() const { return baud_; }
    void SetBaud(int32_t v);
    [[nodiscard]] bool PromptForPort() const { return promptForPort_; }
    void SetPromptForPort(bool v) { promptForPort_ = v; }
    [[nodiscard]] TParity Parity() const { return parity_; }
    void SetParity(TParity v);
    [[nodiscard]] uint16_t DataBits() const { return dataBits_; }
    void SetDataBits(uint16_t v);
    [[nodiscard]] uint16_t StopBits() const { return stopBits_; }
    void SetStopBits(uint16_t v);
    [[nodiscard]] uint16_t InSize() const { return inSize_; }
    void SetInSize(uint16_t v);
    [[nodiscard]] uint16_t OutSize() const { return outSize_; }
    void SetOutSize(uint16_t v);
    [[nodiscard]] bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool v) { autoOpen_ = v; }
    [[nodiscard]] bool Open() const { return open_; }
    void SetOpen(bool v);
    [[nodiscard]] bool DTR() const { return dtr_; }
    void SetDTR(bool v);
    [[nodiscard]] bool RTS() const { return rts_; }
    void SetRTS(bool v);
    [[nodiscard]] THWFlowOptions HWFlowOptions() const { return hwFlow_; }
    void SetHWFlowOptions(THWFlowOptions v);
    [[nodiscard]] TSWFlowOptions SWFlowOptions() const { return swFlow_; }
    void SetSWFlowOptions(TSWFlowOptions v);
    [[nodiscard]] char XOnChar() const { return xonChar_; }
    void SetXOnChar(char v);
    [[nodiscard]] char XOffChar() const { return xoffChar_; }
    void SetXOffChar(char v);
    [[nodiscard]] uint16_t BufferFull() const { return bufferFull_; }
    void SetBufferFull(uint16_t v);
    [[nodiscard]] uint16_t BufferResume() const { return bufferResume_; }
    void SetBufferResume(uint16_t v);
    [[nodiscard]] TTraceLogState Tracing() const { return tracing_; }
    void SetTracing(TTraceLogState v);
    [[nodiscard]] uint32_t TraceSize() const { return traceSize_; }
    void SetTraceSize(uint32_t v);
    [[nodiscard]] const std::string &TraceName() const { return traceName_; }
    void SetTraceName(std::string v) { traceName_ = std::move(v); }
    [[nodiscard]] bool TraceHex() const { return traceHex_; }
    void SetTraceHex(bool v) { traceHex_ = v; }
    [[nodiscard]] TTraceLogState Logging() const { return logging_; }
    void SetLogging(TTraceLogState v);
    [[nodiscard]] uint32_t LogSize() const { return logSize_; }
    void SetLogSize(uint32_t v);
    [[nodiscard]] const std::string &LogName() const { return logName_; }
    void SetLogName(std::string v) { logName_ = std::move(v); }
    [[nodiscard]] bool LogHex() const { return logHex_; }
    void SetLogHex(bool v) { logHex_ = v; }
    [[nodiscard]] bool UseMSRShadow() const { return useMSRShadow_; }
    void SetUseMSRShadow(bool v) { useMSRShadow_ = v; }
    [[nodiscard]] bool UseEventWord() const { return useEventWord_; }
    void SetUseEventWord(bool v) { useEventWord_ = v; }
    [[nodiscard]] uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
    void SetCommNotificationLevel(uint16_t v) { commNotificationLevel_ = v; }
    [[nodiscard]] TTapiMode TapiMode() const { return tapiMode_; }
    void SetTapiMode(TTapiMode v) { tapiMode_ = v; }
    [[nodiscard]] bool RS485Mode() const { return rs485Mode_; }
    void SetRS485Mode(bool v);

    // The descriptor the telephony line device hands over for tmOn (0 = none).
    [[nodiscard]] int TapiDescriptor() const { return tapiDescriptor_; }
    void SetTapiDescriptor(int fd) { tapiDescriptor_ = fd; }
    // The avail threshold applied on open (default 1).
    void SetAvailThresholdOnOpen(uint32_t n) { availOnOpen_ = n; }

    // ---- events (assigning a trigger event installs or removes the port handler) ----
    void SetOnTrigger(TTriggerEvent e);
    void SetOnTriggerAvail(TTriggerAvailEvent e);
    void SetOnTriggerData(TTriggerHandleEvent e);
    void SetOnTriggerStatus(TTriggerHandleEvent e);
    void SetOnTriggerTimer(TTriggerHandleEvent e);
    void SetOnTriggerLineError(TTriggerLineErrorEvent e);
    void SetOnTriggerModemStatus(TPortEvent e);
    void SetOnTriggerOutbuffFree(TPortEvent e);
    void SetOnTriggerOutbuffUsed(TPortEvent e);
    void SetOnTriggerOutSent(TPortEvent e);
    TWaitCharEvent OnWaitChar;
    // Listeners told after the port opened (true) or before it closes (false). The fax
    // engine uses this to let go of the dispatcher in time.
    int AddPortListener(std::function<void(TCustomComPort &, bool opened)> listener);
    void RemovePortListener(int id);

    // ---- dispatcher access ----
    // The dispatcher; when there is none and AutoOpen is set (not loading, not designing,
    // not closing), the port opens first. May return nullptr.
    TBaseDispatcher *Dispatcher();
    // The same, raising -2007 "ie_NOpen - device not open" when there is still none.
    TBaseDispatcher &ValidDispatcher();
    [[nodiscard]] bool Closing() const { return state_ == State::Closing; }

    // The line error (TakeLineError through the result check) and the break flag; 0 and
    // false while closed.
    int32_t LineError();
    bool LineBreak();

    // ---- trace and log (ignored while closing; each sets the property it leaves) ----
    void StartTracing(uint32_t size = 0);
    void StopTracing();
    void ClearTracing();
    void PauseTracing();
    void ResumeTracing();
    void DumpTrace(const std::string &file, bool append);
    void StartLogging(uint32_t size = 0);
    void StopLogging();
    void ClearLogging();
    void PauseLogging();
    void ResumeLogging();
    void DumpLog(const std::string &file, bool append);

    // Loading: properties set while loading only record an open; EndLoading opens it.
    void EndLoading();

  protected:
    int32_t Check(int32_t code) const { return CheckException(this, code); }

  private:
    enum class State { Closed, Open, Closing };
    void OpenPort();
    void ClosePort();
    void FinishClose();
    [[nodiscard]] bool CloseMustWait() const;
    void ApplyAll();
    void ApplyHWFlow();
    void ApplySWFlow();
    void ApplyLineParams();
    void UpdatePortHandler();
    void NotifyListeners(bool opened);
    void ApplyTraceLog(bool trace, TTraceLogState v);
    std::optional<platform::LResult> HandleMessage(platform::Message &m);
    void DispatchTrigger(uint32_t msg, uint32_t wParam, int32_t lParam);
    [[nodiscard]] bool Applying() const { return forceApply_; }
    [[nodiscard]] bool AnyTriggerEvent() const;

    TDeviceLayer deviceLayer_ = dlWin32;
    uint16_t comNumber_ = 0;
    int32_t baud_ = 19200;
    bool promptForPort_ = true;
    TParity parity_ = pNone;
    uint16_t dataBits_ = 8;
    uint16_t stopBits_ = 1;
    uint16_t inSize_ = 4096;
    uint16_t outSize_ = 4096;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true;
    bool rts_ = true;
    THWFlowOptions hwFlow_;
    TSWFlowOptions swFlow_ = swfNone;
    char xonChar_ = 17;
    char xoffChar_ = 19;
    uint16_t bufferFull_ = 0;
    uint16_t bufferResume_ = 0;
    TTraceLogState tracing_ = tlOff;
    uint32_t traceSize_ = 10000;
    std::string traceName_ = "FAXCOMM.TRC";
    bool traceHex_ = true;
    TTraceLogState logging_ = tlOff;
    uint32_t logSize_ = 10000;
    std::string logName_ = "FAXCOMM.LOG";
    bool logHex_ = true;
    bool useMSRShadow_ = true;
    bool useEventWord_ = true;
    uint16_t commNotificationLevel_ = 10;
    TTapiMode tapiMode_ = tmAuto;
    bool rs485Mode_ = false;

    TTriggerEvent onTrigger_;
    TTriggerAvailEvent onTriggerAvail_;
    TTriggerHandleEvent onTriggerData_;
    TTriggerHandleEvent onTriggerStatus_;
    TTriggerHandleEvent onTriggerTimer_;
    TTriggerLineErrorEvent onTriggerLineError_;
    TPortEvent onTriggerModemStatus_;
    TPortEvent onTriggerOutbuffFree_;
    TPortEvent onTriggerOutbuffUsed_;
    TPortEvent onTriggerOutSent_;

    State state_ = State::Closed;
    std::unique_ptr<TBaseDispatcher> dispatcher_;
    std::unique_ptr<platform::MessageTarget> window_;
    int tapiDescriptor_ = 0;
    TTriggerSave savedTriggers_;
    uint32_t availOnOpen_ = 1;
    bool openAfterLoad_ = false;
    bool openPending_ = false;
    int triggerDepth_ = 0; // trigger events running on this thread, nested ones counted
    bool forceApply_ = false;
    bool inOpen_ = false;
    std::vector<std::pair<int, std::function<void(TCustomComPort &, bool)>>> listeners_;
    int nextListener_ = 1;
};

// The first comm port among `components` (in order), or nullptr: how the telephony device
// and the fax component find a partner when their ComPort is unassigned.
TCustomComPort *FindComPort(const std::vector<TBaseComponent *> &components);

// The port used by this system (ComPort1): all behaviour is in TCustomComPort.
class TComPort : public TCustomComPort {
  public:
    using TCustomComPort::TCustomComPort;
};

} // namespace quillon::comm
