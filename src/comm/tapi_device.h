#pragma once

// The telephony line device: reaches the fax modem through a named line device instead of a
// serial port number. It lists the line devices, lets the operator choose one (or a direct
// serial port), takes the chosen modem in passthrough mode, hands the modem's descriptor to
// the comm port (TapiMode = tmOn) and reports the hand-over through OnTapiPortOpen; EndCall
// takes the port back (OnTapiPortClose) and releases the line.
//
// Line devices are the string values under kLinesKey in the user's settings store: value
// name = device name (what SelectedDevice holds), data = the device path ("/dev/ttyUSB0").
// A passthrough call opens that path (read/write, non-blocking, exclusively, raw, RTS/CTS
// flow control) and is connected at once; the connected state is delivered through this
// component's hidden window, so OnTapiPortOpen always runs after StartPassthrough has
// returned, from the event loop. While a process holds a line application it keeps a record
// under kTapiRecordKey ("$" + its process id in 8 upper-case hex digits = the handle); the
// next initialisation removes the records of processes that no longer run.
//
// Owner and thread: created, used and destroyed on the user-interface thread; every event
// runs there. The comm port is found on the owner (the first TCustomComPort, now or when one
// is inserted later) unless set explicitly; when the port is destroyed first the link is
// cleared (a call in progress keeps its device until EndCall or destruction). A device that
// goes away under a handed-over port ends the call: OnTapiPortClose from the event loop.
//
// Errors (raised as the ETapi family and the classes of error_codes.h):
//   -1005  StartPassthrough without a comm port (or a "Direct to COM" choice without one)
//   -13928 StartPassthrough while a call is already up;  -13929 the port is not in tmOn/tmAuto
//   -13930 no line device can be chosen (SelectedDevice unknown and the dialog cancelled)
//   -13866 the device's path does not exist;  -13815 the device is in use (opened
//          exclusively elsewhere);  -13875 the device is unplugged (no hardware behind the
//          node);  -13802 the path is not a serial device;  -13872 any other open failure
//   -13935 voice and wave features: no line device here supports them
//   -13873 the answering path (AutoAnswer): the line is only ever taken in passthrough
// An exception thrown by an event handler that runs from the event loop goes to the
// application's exception handler (comm_port.h).
//
// Use from the controller:
//   TComponentOwner owner;  TComPort port;  owner.InsertComponent(port);
//   TTapiDevice tapi(&owner);                  // ComPort = port (switched to tmOn)
//   tapi.OnTapiPortOpen = [](auto &) { ... start the receiver on the port ... };
//   tapi.SetSelectedDevice("Modem 1");  tapi.StartPassthrough();
//   ...  tapi.EndCall();                       // port closed, OnTapiPortClose

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "comm/base_component.h"
#include "comm/comm_port.h"
#include "platform/event_loop.h"

namespace quillon::comm {

inline constexpr std::string_view kLinesKey =
    "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Lines";
inline constexpr std::string_view kTapiRecordKey =
    "HKEY_CURRENT_USER\\Software\\Lantrel\\FaxComm\\TAPI";

// A line device of the table: its name and its device path.
struct TLineDevice {
    std::string name;
    std::string path;
};
// The line devices in table order (the device id is the index); values that are not
// non-empty strings are skipped.
std::vector<TLineDevice> LineDevices();

// The codes passed to OnTapiLog and the history file.
enum TTapiLogCode {
    ltapiNone = 0,
    ltapiCallStart = 1,
    ltapiCallFinish = 2,
    ltapiDial = 3,
    ltapiAccept = 4,
    ltapiAnswer = 5,
    ltapiConnect = 6,
    ltapiCancel = 7,
    ltapiDrop = 8,
    ltapiBusy = 9,
    ltapiDialFail = 10,
    ltapiReceivedDigit = 11,
};

// Call states as the status reports carry them (the platform's bit values).
enum TTapiCallState : uint32_t {
    tcsNone = 0,
    tcsIdle = 0x1,
    tcsOffering = 0x2,
    tcsAccepted = 0x4,
    tcsDialTone = 0x8,
    tcsDialing = 0x10,
    tcsRingBack = 0x20,
    tcsBusy = 0x40,
    tcsSpecialInfo = 0x80,
    tcsConnected = 0x100,
    tcsProceeding = 0x200,
    tcsDisconnected = 0x4000,
};

class TCustomTapiDevice;
class TAbstractTapiStatus;
class TTapiLog;

using TTapiStatusEvent =
    std::function<void(TCustomTapiDevice &CP, bool First, bool Last, uint32_t Device,
                       uint32_t Message, uint32_t Param1, uint32_t Param2, uint32_t Param3)>;
using TTapiLogEvent = std::function<void(TCustomTapiDevice &CP, TTapiLogCode Log)>;
using TTapiNotifyEvent = std::function<void(TCustomTapiDevice &CP)>;
using TTapiDTMFEvent = std::function<void(TCustomTapiDevice &CP, char Digit, int32_t ErrorCode)>;
using TTapiCallerIDEvent =
    std::function<void(TCustomTapiDevice &CP, const std::string &ID, const std::string &IDName)>;
using TTapiWaveNotifyEvent = std::function<void(TCustomTapiDevice &CP, uint32_t Msg)>;
using TTapiWaveSilenceEvent =
    std::function<void(TCustomTapiDevice &CP, bool &StopRecording, bool &Hangup)>;

// ---- the selection dialog ----

class TDeviceSelectionForm;
// Shows the dialog; returns the index of the chosen entry, or -1 for Cancel.
using TDeviceSelectHook = std::function<int(const TDeviceSelectionForm &form)>;
// Installs a hook (an empty one restores the default, which answers Cancel) and returns the
// previous one. The desktop program installs a dialog; headless runs have none.
TDeviceSelectHook SetDeviceSelectHook(TDeviceSelectHook hook);

// The model of the "Device Selection" dialog: the line device names (with ShowTapiDevices)
// and "Direct to COMn" for each serial port that opens or is in use (with ShowPorts).
class TDeviceSelectionForm {
  public:
    static constexpr std::string_view kCaption = "Device Selection";
    static constexpr std::string_view kOk = "OK";
    static constexpr std::string_view kCancel = "Cancel";
    static constexpr std::string_view kDirectPrefix = "Direct to COM";
    static constexpr std::string_view kNoName = "<noname>";

    // Fills the list at once (probing the serial ports for ShowPorts).
    TDeviceSelectionForm(bool showTapiDevices, bool showPorts, uint16_t maxPort = 50);

    [[nodiscard]] const std::vector<std::string> &Entries() const { return entries_; }
    [[nodiscard]] int ItemIndex() const { return itemIndex_; }
    // Pre-selects `entry` when listed, else the first entry.
    void Preselect(const std::string &entry);
    // Shows the dialog through the hook; true for OK with an entry chosen.
    bool Execute();
    [[nodiscard]] std::string SelectedEntry() const;
    // The port number of a "Direct to COMn" entry (the text after its first 13
    // characters), 0 for any other entry.
    static uint16_t DirectComNumber(const std::string &entry);

  private:
    std::vector<std::string> entries_;
    int itemIndex_ = -1;
};

// ---- the device ----

class TCustomTapiDevice : public TBaseComponent {
  public:
    // Looks for a comm port among the owner's components; inserts itself into the owner.
    explicit TCustomTapiDevice(TComponentOwner *owner = nullptr, std::string name = "TapiDevice1");
    // Releases any call (OnTapiPortClose when the port had been handed over) and removes
    // this process's handle record.
    ~TCustomTapiDevice() override;

    // ---- properties ----
    [[nodiscard]] const std::string &SelectedDevice() const { return selectedDevice_; }
    // With EnableVoice set the device is checked for voice support: none has it, so
    // EnableVoice becomes False and -13935 is raised (the name is kept).
    void SetSelectedDevice(const std::string &name);
    [[nodiscard]] TCustomComPort *ComPort() const { return comPort_; }
    void SetComPort(TCustomComPort *port);
    [[nodiscard]] TAbstractTapiStatus *StatusDisplay() const { return statusDisplay_; }
    void SetStatusDisplay(TAbstractTapiStatus *display);
    [[nodiscard]] TTapiLog *TapiLog() const { return tapiLog_; }
    void SetTapiLog(TTapiLog *log);
    [[nodiscard]] uint8_t AnswerOnRing() const { return answerOnRing_; }
    void SetAnswerOnRing(uint8_t v) { answerOnRing_ = v; }
    [[nodiscard]] uint16_t RetryWait() const { return retryWait_; }
    void SetRetryWait(uint16_t v) { retryWait_ = v; }
    [[nodiscard]] uint16_t MaxAttempts() const { return maxAttempts_; }
    void SetMaxAttempts(uint16_t v) { maxAttempts_ = v; }
    [[nodiscard]] bool ShowTapiDevices() const { return showTapiDevices_; }
    void SetShowTapiDevices(bool v) { showTapiDevices_ = v; }
    [[nodiscard]] bool ShowPorts() const { return showPorts_; }
    void SetShowPorts(bool v) { showPorts_ = v; }
    [[nodiscard]] bool EnableVoice() const { return enableVoice_; }
    // Switching voice on raises -13935 and leaves it off: no line device supports it.
    void SetEnableVoice(bool v);

    // ---- read-only state ----
    // The line device names, in device id order (read from the table on each call).
    [[nodiscard]] std::vector<std::string> TapiDevices() const;
    [[nodiscard]] bool Initialized() const { return lineApp_ != 0; }
    [[nodiscard]] uint32_t LineApplication() const { return lineApp_; }
    [[nodiscard]] bool LineOpen() const { return lineOpen_; }
    [[nodiscard]] bool Connected() const { return connected_; }
    [[nodiscard]] bool Cancelled() const { return cancelled_; }
    [[nodiscard]] TTapiCallState CallState() const { return callState_; }
    // The device path of the current call; empty without one.
    [[nodiscard]] const std::string &CallDevicePath() const { return callPath_; }

    // ---- operations ----
    // The selection dialog; true for OK. OK on "Direct to COMn" sets the port to tmOff and
    // ComNumber n; on a line device the port to tmAuto and SelectedDevice to it.
    bool ChooseDevice();
    // Takes the selected device in passthrough mode. Returns once the device is open; the
    // connected state, the hand-over to the port and OnTapiPortOpen follow from the event
    // loop. Raises the codes above; nothing is left open when it raises.
    void StartPassthrough();
    // Marks the call cancelled (log 7) and releases call and line: the port is closed and,
    // when it had been handed the descriptor, OnTapiPortClose runs before this returns.
    bool EndCall();
    // What the line service here cannot do: each raises.
    void AutoAnswer();                                              // -13873
    void PlayWaveFile(const std::string &fileName);                 // -13935
    void StopWaveFile();                                            // -13935
    void StartWaveRecord();                                         // -13935
    void StopWaveRecord();                                          // -13935
    void SaveWaveFile(const std::string &fileName, bool overwrite); // -13935

    // ---- events ----
    TTapiStatusEvent OnTapiStatus;
    TTapiLogEvent OnTapiLog;
    TTapiNotifyEvent OnTapiPortOpen;
    TTapiNotifyEvent OnTapiPortClose;
    TTapiNotifyEvent OnTapiConnect;
    TTapiNotifyEvent OnTapiFail;
    TTapiDTMFEvent OnTapiDTMF;
    TTapiCallerIDEvent OnTapiCallerID;
    TTapiWaveNotifyEvent OnTapiWaveNotify;
    TTapiWaveSilenceEvent OnTapiWaveSilence;

    void Notification(TBaseComponent &component, TOperation operation) override;

  protected:
    int32_t Check(int32_t code) const { return CheckException(this, code); }

  private:
    friend class TAbstractTapiStatus;
    friend class TTapiLog;
    enum class LineMode { Answer, Dial };

    void InitializeTapi();
    void ShutdownTapi();
    int ResolveDeviceId();
    void OpenLine(LineMode mode);
    void CloseLine();
    void ReleaseCall(bool final);
    bool TakePortBack();
    void HandOverPort();
    void OnConnected();
    void ReportStatus(bool first, bool last, uint32_t message, uint32_t p1, uint32_t p2,
                      uint32_t p3);
    void Log(TTapiLogCode code);
    void AttachPort(TCustomComPort *port);
    void DetachPort();
    std::optional<platform::LResult> HandleMessage(platform::Message &m);

    std::string selectedDevice_;
    TCustomComPort *comPort_ = nullptr;
    int portListener_ = 0;
    TAbstractTapiStatus *statusDisplay_ = nullptr;
    TTapiLog *tapiLog_ = nullptr;
    uint8_t answerOnRing_ = 2;
    uint16_t retryWait_ = 60;
    uint16_t maxAttempts_ = 3;
    bool showTapiDevices_ = true;
    bool showPorts_ = true;
    bool enableVoice_ = false;

    uint32_t lineApp_ = 0; // 0 = not initialised
    uint32_t numDevices_ = 0;
    int deviceId_ = -1;
    int lineDescriptor_ = -1; // the open device: the call's serial handle
    std::string callPath_;
    uint32_t callSerial_ = 0; // names the call a posted state change belongs to
    bool callExists_ = false;
    TTapiCallState callState_ = tcsNone;
    LineMode mode_ = LineMode::Answer;
    bool lineOpen_ = false;
    bool releasing_ = false;
    bool connected_ = false;
    bool cancelled_ = false;
    bool quiet_ = false;
    bool initializing_ = false;
    bool portLost_ = false; // the port closed under the call (the device went away)
    std::unique_ptr<platform::MessageTarget> window_;
};

// The device used by this system (ApdTapiDevice1): all behaviour is in TCustomTapiDevice.
class TTapiDevice : public TCustomTapiDevice {
  public:
    using TCustomTapiDevice::TCustomTapiDevice;
};
using TApdTapiDevice = TTapiDevice;

// ---- optional partners ----

// A status display: receives every status report of its device. Attaches itself to the
// first device on its owner that has none.
class TAbstractTapiStatus : public TBaseComponent {
  public:
    static constexpr std::string_view kDefaultCaption = "Call Progress";
    explicit TAbstractTapiStatus(TComponentOwner *owner = nullptr,
                                 std::string name = "TapiStatus1");
    ~TAbstractTapiStatus() override;
    [[nodiscard]] TCustomTapiDevice *TapiDevice() const { return device_; }
    void SetTapiDevice(TCustomTapiDevice *device);
    [[nodiscard]] const std::string &Caption() const { return caption_; }
    void SetCaption(std::string caption) { caption_ = std::move(caption); }
    virtual void UpdateDisplay(bool First, bool Last, uint32_t Device, uint32_t Message,
                               uint32_t Param1, uint32_t Param2, uint32_t Param3) = 0;
    void Notification(TBaseComponent &component, TOperation operation) override;

  private:
    friend class TCustomTapiDevice;
    TCustomTapiDevice *device_ = nullptr;
    std::string caption_{kDefaultCaption};
};

// The history file: one line per log code, appended to TapiHistoryName (default
// "TAPILOG.HIS"), the file closed after each line. Attaches itself like the status display.
class TTapiLog : public TBaseComponent {
  public:
    static constexpr std::string_view kDefaultHistoryName = "TAPILOG.HIS";
    explicit TTapiLog(TComponentOwner *owner = nullptr, std::string name = "TapiLog1");
    ~TTapiLog() override;
    [[nodiscard]] TCustomTapiDevice *TapiDevice() const { return device_; }
    void SetTapiDevice(TCustomTapiDevice *device);
    [[nodiscard]] const std::string &TapiHistoryName() const { return historyName_; }
    void SetTapiHistoryName(std::string name) { historyName_ = std::move(name); }
    // Appends the line for `code`; a file that cannot be written raises its platform code.
    virtual void UpdateLog(TTapiLogCode code);
    // The text written for a code, without the time stamp.
    static std::string LogText(TTapiLogCode code, const std::string &number = {});
    void Notification(TBaseComponent &component, TOperation operation) override;

  private:
    friend class TCustomTapiDevice;
    TCustomTapiDevice *device_ = nullptr;
    std::string historyName_{kDefaultHistoryName};
};

} // namespace quillon::comm
