// The settings-file parser: any bytes parse without crashing, and writing back what was
// read is stable (a second round trip changes nothing), so repeated saves never drift or
// lose lines.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/settings_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string once = quillon::platform::SettingsStore::Canonical(text);
    std::string twice = quillon::platform::SettingsStore::Canonical(once);
    if (once != twice) {
        std::abort();
    }
    return 0;
}
