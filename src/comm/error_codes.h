#pragma once

// Error codes of the comm, telephony and fax library: 0 is success, a negative code is a
// library error whose magnitude selects its message, a positive value is a platform error
// number. Each negative code with a class of its own is raised as that class.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "comm/exception_list.h"
#include "platform/error_numbers.h"

namespace quillon::comm {

// The codes the library raises or returns, each defined once. The file and device errors
// (-2 to -162) come from the platform layer; the rest are the library's own. Texts are in
// strings/error_strings.txt under the magnitude; classes in exception_list.h.
using platform::kErrDeviceRead;
using platform::kErrDeviceWrite;
using platform::kErrDiskFull;
using platform::kErrFileAccessDenied;
using platform::kErrFileNotFound;
using platform::kErrFileNotOpen;
using platform::kErrInsufficientMemory;
using platform::kErrInvalidFileHandle;
using platform::kErrPathNotFound;
using platform::kErrTooManyOpenFiles;
using platform::kErrWriteProtected;
using platform::kFirstIoErrorCode;
using platform::kLastIoErrorCode;

// General.
inline constexpr int32_t kErrBadArgument = -1002;
inline constexpr int32_t kErrGotQuit = -1003;
inline constexpr int32_t kErrPortNotAssigned = -1005;
inline constexpr int32_t kErrWindowClass = -1006;
inline constexpr int32_t kErrCannotUseWithWinSock = -1009;
// Opening the port.
inline constexpr int32_t kErrBadId = -2001;
inline constexpr int32_t kErrBaudRate = -2002;
inline constexpr int32_t kErrByteSize = -2003;
inline constexpr int32_t kErrCommNotOpen = -2007;
inline constexpr int32_t kErrAlreadyOpen = -2008;
inline constexpr int32_t kErrNoPortSelected = -2011;
inline constexpr int32_t kErrNotOpenedByTapi = -2012;
// Serial device input and output.
inline constexpr int32_t kErrNoDeviceLayer = -3001;
inline constexpr int32_t kErrPutBlockFail = -3004;
inline constexpr int32_t kErrGetBlockFail = -3005;
inline constexpr int32_t kErrOutputBufferTooSmall = -3006;
inline constexpr int32_t kErrBufferIsEmpty = -3007;
// Triggers.
inline constexpr int32_t kErrNoTriggerSlots = -5001;
inline constexpr int32_t kErrTriggerTooLong = -5002;
inline constexpr int32_t kErrBadTriggerHandle = -5003;
// Sessions.
inline constexpr int32_t kErrCancelRequested = -6005;
inline constexpr int32_t kErrFatalTimeout = -6006;
inline constexpr int32_t kErrFileRejected = -6011;
// Fax files, viewing and sessions.
inline constexpr int32_t kErrNotApfFile = -8001;
inline constexpr int32_t kErrUnpackAbort = -8004;
inline constexpr int32_t kErrCantMakeBitmap = -8005;
inline constexpr int32_t kErrNoImageLoaded = -8050;
inline constexpr int32_t kErrNoBlockMarked = -8051;
inline constexpr int32_t kErrInvalidPageNumber = -8053;
inline constexpr int32_t kErrTooManyRows = -8054;
inline constexpr int32_t kErrFaxBadModemResult = -8061;
inline constexpr int32_t kErrFaxTrainError = -8062;
inline constexpr int32_t kErrFaxInitError = -8063;
inline constexpr int32_t kErrFaxVoiceCall = -8065;
inline constexpr int32_t kErrFaxDataCall = -8066;
inline constexpr int32_t kErrFaxSessionError = -8069;
inline constexpr int32_t kErrFaxPageError = -8070;

class TBaseComponent;

// The message for a code: the text stored under abs(code), else the platform's text for
// that number (control characters turned into spaces, runs of spaces folded), cut to 255
// bytes; empty when neither exists. Never fails.
std::string ErrorMessage(int32_t code);

// The telephony error rule: the low 31 bits of the platform's line error plus 13800,
// negated (the platform's first line error, 0x80000001, becomes -13801).
constexpr int32_t TapiErrorCode(uint32_t lineError) {
    return -static_cast<int32_t>(13800 + (lineError & 0x7FFFFFFFu));
}

// The telephony codes the line device raises. The line-service substitute fails in a few
// ways only, each given the platform line error that means it; the texts are in the message
// table under the code's magnitude.
inline constexpr int32_t kErrTapiBadDeviceId = TapiErrorCode(0x80000002); // not a serial device
inline constexpr int32_t kErrTapiCallUnavail = TapiErrorCode(0x80000005); // the call failed
inline constexpr int32_t kErrTapiInUse = TapiErrorCode(0x8000000F);       // opened elsewhere
inline constexpr int32_t kErrTapiNoDevice = TapiErrorCode(0x80000042);    // path missing
inline constexpr int32_t kErrTapiOperationFailed = TapiErrorCode(0x80000048);
inline constexpr int32_t kErrTapiOperationUnavail = TapiErrorCode(0x80000049);
inline constexpr int32_t kErrTapiResourceUnavail = TapiErrorCode(0x8000004B); // unplugged
// The library's own codes the telephony device raises (and kErrPortNotAssigned).
inline constexpr int32_t kErrTapiBusy = -13928;
inline constexpr int32_t kErrTapiNotSet = -13929;
inline constexpr int32_t kErrTapiNoSelect = -13930;
inline constexpr int32_t kErrTapiUnexpected = -13934;
inline constexpr int32_t kErrTapiVoiceNotSupported = -13935;
inline constexpr int32_t kErrTapiWaveFail = -13936;
static_assert(kErrTapiNoDevice == -13866 && kErrTapiInUse == -13815 &&
              kErrTapiResourceUnavail == -13875 && kErrTapiOperationUnavail == -13873);

// Root of the library's exceptions; carries the signed code it was raised for.
class ECommException : public std::runtime_error {
  public:
    explicit ECommException(int32_t code) : std::runtime_error(ErrorMessage(code)), code_(code) {}
    explicit ECommException(const std::string &message) : std::runtime_error(message), code_(0) {}
    [[nodiscard]] int32_t code() const { return code_; }

  private:
    int32_t code_;
};

#define QUILLON_DECLARE_EXCEPTION(name, parent)                                                    \
    class name : public parent {                                                                   \
      public:                                                                                      \
        using parent::parent;                                                                      \
    };
QUILLON_COMM_EXCEPTION_CLASSES(QUILLON_DECLARE_EXCEPTION)
#undef QUILLON_DECLARE_EXCEPTION

// The runtime's input/output exception, raised for codes -2 to -162 with the magnitude as
// its error number.
class EInOutError : public std::runtime_error {
  public:
    EInOutError(const std::string &message, int errorCode)
        : std::runtime_error(message), errorCode_(errorCode) {}
    [[nodiscard]] int errorCode() const { return errorCode_; }

  private:
    int errorCode_;
};

// String-resource failures (a missing or malformed STR0 table).
class EStringResourceError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The result check: returns `code` when it is 0 or positive, or while `owner` is being
// loaded; otherwise raises the exception that belongs to the code (see RaiseError).
int32_t CheckException(const TBaseComponent *owner, int32_t code);

// Raises for a negative code: its own class with the code's message; std::bad_alloc for -8;
// EInOutError for -2..-162; ECommException("FaxComm exception", code 0) for the rest.
[[noreturn]] void RaiseError(int32_t code);

} // namespace quillon::comm
