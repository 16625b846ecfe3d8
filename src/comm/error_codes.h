#pragma once

// Error codes of the comm, telephony and fax library: 0 is success, a negative code is a
// library error whose magnitude selects its message, a positive value is a platform error
// number. Each negative code with a class of its own is raised as that class.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "comm/exception_list.h"

namespace quillon::comm {

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
