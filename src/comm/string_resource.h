#pragma once

// String tables in the STR0 layout: "STR0", a little-endian entry count, entries of (id,
// byte offset of the text, length in UTF-16 code units) sorted by id, then the UTF-16LE
// texts. The tables are compiled in and read back through this reader.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quillon::comm {

inline constexpr std::string_view kErrorStrings = "FAXCOMM_ERROR_STRINGS_ENGLISH";
inline constexpr std::string_view kFaxStrings = "FAXCOMM_FAX_STRINGS_ENGLISH";
inline constexpr std::string_view kStrMgrStrings = "STRMGR_STRINGS";

// The raw bytes of a compiled-in resource, empty when there is none of that name.
std::span<const uint8_t> FindStringResource(std::string_view name);

// A reader over one STR0 resource. Lookups are thread-safe (the table is immutable).
class TStringResource {
  public:
    // Raises EStringResourceError when the resource is missing or is not STR0.
    explicit TStringResource(std::string_view resourceName, bool raiseIfMissing = false);
    // Reads a table given as bytes (tests, and tables loaded from elsewhere).
    explicit TStringResource(std::span<const uint8_t> table, bool raiseIfMissing = false);

    [[nodiscard]] uint32_t Count() const { return count_; }
    // The text for an id (UTF-16 converted to UTF-8); empty when absent, unless the
    // raise-if-missing flag is set ("String not found: %d").
    [[nodiscard]] std::string GetString(uint32_t id) const;
    // The same, shortened one code unit at a time until it fits in `maxBytes` (the counted
    // strings of at most 255 bytes).
    [[nodiscard]] std::string GetShortString(uint32_t id, size_t maxBytes = 255) const;
    [[nodiscard]] bool Contains(uint32_t id) const { return find(id) >= 0; }

  private:
    void validate();
    [[nodiscard]] long find(uint32_t id) const;
    [[nodiscard]] std::u16string text(long index) const;
    std::span<const uint8_t> table_;
    uint32_t count_ = 0;
    bool raiseIfMissing_;
};

// The process-wide tables.
const TStringResource &ErrorStrings();
const TStringResource &FaxStrings();
const TStringResource &StrMgrStrings();

// The fax status text for a progress code (1 to 43; empty otherwise), at most 80 bytes.
std::string FaxStatusText(int code);

} // namespace quillon::comm
