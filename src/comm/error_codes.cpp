#include "comm/error_codes.h"

#include <cstdlib>
#include <new>

#include "comm/base_component.h"
#include "comm/string_resource.h"
#include "platform/system_text.h"

namespace quillon::comm {

namespace {

constexpr size_t kMaxMessage = 255;

// Control characters become spaces and runs of spaces are folded to one.
std::string cleanSystemText(const std::string &raw) {
    std::string out;
    for (char c : raw) {
        char ch = static_cast<unsigned char>(c) < 32 ? ' ' : c;
        if (ch == ' ' && !out.empty() && out.back() == ' ') {
            continue;
        }
        out.push_back(ch);
    }
    return out;
}

} // namespace

std::string ErrorMessage(int32_t code) {
    uint32_t magnitude = code < 0 ? 0u - static_cast<uint32_t>(code) : static_cast<uint32_t>(code);
    std::string text = ErrorStrings().GetShortString(magnitude, kMaxMessage);
    if (text.empty() && magnitude <= 0x7FFFFFFF) {
        text = cleanSystemText(platform::SystemErrorText(static_cast<int>(magnitude)));
        if (text.size() > kMaxMessage) {
            text.resize(kMaxMessage);
        }
    }
    return text;
}

void RaiseError(int32_t code) {
    uint32_t magnitude = code < 0 ? 0u - static_cast<uint32_t>(code) : static_cast<uint32_t>(code);
    switch (magnitude) {
#define QUILLON_RAISE_CASE(name, value)                                                            \
    case value:                                                                                    \
        throw name(code);
        QUILLON_COMM_EXCEPTION_CODES(QUILLON_RAISE_CASE)
#undef QUILLON_RAISE_CASE
    default:
        break;
    }
    if (code == kErrInsufficientMemory) {
        throw std::bad_alloc();
    }
    if (code <= kFirstIoErrorCode && code >= kLastIoErrorCode) {
        throw EInOutError(ErrorMessage(code), static_cast<int>(magnitude));
    }
    throw ECommException(std::string("FaxComm exception"));
}

int32_t CheckException(const TBaseComponent *owner, int32_t code) {
    if (code >= 0 || (owner != nullptr && owner->Loading())) {
        return code;
    }
    RaiseError(code);
}

} // namespace quillon::comm
