#pragma once

// Helpers of the SMTP client shared by its source files and its tests.

#include <string>

#include "platform/local_clock.h"

namespace quillon::mail::detail {

// A header line as it may go on the wire: folds (CR LF before a blank or tab) stay, every
// other CR or LF becomes a blank.
std::string SafeHeaderLine(const char *text);

// "Mon, 7 Jun 1999 09:05:03 +0200" (RFC 5322 3.3), English names whatever the locale.
std::string DateHeaderValue(const platform::LocalTime &t);

} // namespace quillon::mail::detail
