#pragma once

// Names shared by the receive engine, the receive-fax component and the status display: the
// modem classes, the log codes, the progress codes, the receive states, the messages the
// engine sends to its component, and the engine's fixed time constants.

#include <chrono>
#include <cstdint>
#include <string_view>

#include "comm/error_codes.h"

namespace quillon::fax {

enum TFaxClass : uint8_t {
    fcUnknown = 0,
    fcDetect = 1,
    fcClass1 = 2,
    fcClass2 = 3,
    fcClass2_0 = 4,
};

enum TFaxLogCode : uint8_t {
    lfaxNone = 0,
    lfaxTransmitStart = 1,
    lfaxTransmitOK = 2,
    lfaxTransmitFail = 3,
    lfaxReceiveStart = 4,
    lfaxReceiveOK = 5,
    lfaxReceiveSkip = 6,
    lfaxReceiveFail = 7,
};

// Session progress codes (SessionProgress). 1 to 8 belong to sending.
enum TFaxProgress : uint16_t {
    progNone = 0,
    progInitializing = 1,
    progDialing = 2,
    progBusyRedial = 3,
    progSendingPage = 4,
    progSendingEOP = 5,
    progPageSendError = 6,
    progPageAccepted = 7,
    progConnecting = 8,
    progWaitingCall = 20,
    progNoConnect = 21,
    progAnswering = 22,
    progCallIsFax = 23,
    progReceivingPage = 24,
    progEndOfPage = 25,
    progEndOfDocument = 26,
    progWaitingHangup = 27,
    progGotHangupCode = 28,
    progSessionParams = 40,
    progRemoteID = 41,
    progUserAbort = 42,
    progFinished = 43,
};

// Receive states; the numbers are their values (also the dispatch log's fax entries).
enum TReceiveState : uint8_t {
    rfNone = 0,
    rfInit = 1,
    rf1Init1 = 2,
    rf2Init1 = 3,
    rf2Init1A = 4,
    rf2Init1B = 5,
    rf2Init2 = 6,
    rf2Init3 = 7,
    rfWaiting = 8,
    rfAnswer = 9,
    rf1SendCSI = 10,
    rf1SendDIS = 11,
    rf1CollFrms = 12,
    rf1CollRtry1 = 13,
    rf1CollRtry2 = 14,
    rf1StrtTrn = 15,
    rf1CollTrn = 16,
    rf1Timeout = 17,
    rf1Retrain = 18,
    rf1FinTrn = 19,
    rf1SendCFR = 20,
    rf1WtPgCnnct = 21,
    rf2ValCnnct = 22,
    rf2GtSndID = 23,
    rf2GtCnnct = 24,
    rfStartPage = 25,
    rfGtPgDta = 26,
    rf1FinPage = 27,
    rf1WaitEOP = 28,
    rf1WritePage = 29,
    rf1SendMCF = 30,
    rf1WaitDCN = 31,
    rf1WtHngp = 32,
    rf2GtPgRslt = 33,
    rf2GetFHNG = 34,
    rfComplete = 35,
    rfAbort = 36,
    rfDone = 37,
};

// The state's name ("rf1SendCSI"); "rf?" outside the table.
std::string_view ReceiveStateName(uint8_t state);

// Messages from the engine to its component's event window.
inline constexpr uint32_t kMsgCancel = 32416;   // handler message of AbortSession
inline constexpr uint32_t kMsgNextFile = 32417; // sending only
inline constexpr uint32_t kMsgStatus = 32418;   // wParam 1 First, 2 Last, 0 neither
inline constexpr uint32_t kMsgLog = 32419;      // wParam log code
inline constexpr uint32_t kMsgName = 32420;     // payload TNameRequest
inline constexpr uint32_t kMsgAccept = 32421;   // result 1 accept, 0 refuse
inline constexpr uint32_t kMsgError = 32422;    // wParam error code
inline constexpr uint32_t kMsgFinish = 32423;   // posted; wParam last error in 16 bits
inline constexpr std::chrono::milliseconds kEventSendTimeout{1000};

// Error codes recorded by the engine (texts in the comm library's table).
using comm::kErrCancelRequested;
using comm::kErrCannotUseWithWinSock;
using comm::kErrDeviceWrite;
using comm::kErrFatalTimeout;
using comm::kErrFaxBadModemResult;
using comm::kErrFaxDataCall;
using comm::kErrFaxInitError;
using comm::kErrFaxSessionError;
using comm::kErrFaxTrainError;
using comm::kErrFaxVoiceCall;
using comm::kErrFileRejected;
using comm::kErrInsufficientMemory;
using comm::kErrNoTriggerSlots;
using comm::kErrOutputBufferTooSmall;
using comm::kErrPortNotAssigned;
using comm::kErrWindowClass;

// Fixed engine constants. Timer values are ticks of 55 ms.
inline constexpr int32_t kReplyTimeoutTicks = 182;   // 10 s, wait for a result line
inline constexpr int32_t kAnswerTimeoutTicks = 1092; // 60 s, wait after "ATA"
inline constexpr int32_t kFrameWaitTicks = 54;       // about 3 s, first frame after DIS
inline constexpr int32_t kCapabilityWaitTicks = 36;  // 2 s, rest of an "AT+FRM=?" reply
inline constexpr int32_t kBaudSettleTicks = 9;
inline constexpr int kCommandDelayMs = 100;
inline constexpr int kFastCommandDelayMs = 40;
inline constexpr int kFrameDelayMs = 20;
inline constexpr int kTurnaroundDelayMs = 200;
inline constexpr int kLineResetDelayMs = 500;
inline constexpr int kHangupDelayMs = 1000;
inline constexpr uint32_t kPagePassLimit = 10000;
inline constexpr int kTrainingThresholdPercent = 10;
inline constexpr size_t kStationIdMax = 20;
inline constexpr size_t kModemStringMax = 40;
inline constexpr size_t kFileNameMax = 255;
inline constexpr size_t kReplyLineMax = 128;
inline constexpr std::string_view kDefaultInit = "ATE0Q0V1X4S0=0S2=43";

} // namespace quillon::fax
