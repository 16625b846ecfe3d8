#pragma once

#include <string>

namespace quillon::platform {

// The platform's own description of an error number, empty when it has none.
std::string SystemErrorText(int number);

} // namespace quillon::platform
