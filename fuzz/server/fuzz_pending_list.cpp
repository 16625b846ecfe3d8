// The pending-list parser: any bytes parse without crashing, and what was read, written
// back and read again is the same list, so the controller's rewrite after a damaged file
// keeps every entry it could read.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/pending_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using quillon::server::TPendingEntry;
    using quillon::server::TPendingStore;
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> problems;
    std::vector<TPendingEntry> once = TPendingStore::Parse(text, problems);
    std::vector<std::string> again;
    std::vector<TPendingEntry> twice = TPendingStore::Parse(TPendingStore::Format(once), again);
    if (twice.size() != once.size() || !again.empty()) {
        std::abort();
    }
    for (size_t i = 0; i < once.size(); ++i) {
        if (once[i].file != twice[i].file || once[i].sender != twice[i].sender) {
            std::abort();
        }
    }
    return 0;
}
