#include "platform/system_text.h"

#include <cstring>

namespace quillon::platform {

std::string SystemErrorText(int number) {
    // strerrordesc_np gives no text for numbers the C library does not know, where
    // strerror would invent "Unknown error N".
    const char *text = ::strerrordesc_np(number);
    return text ? std::string(text) : std::string();
}

} // namespace quillon::platform
