#include "comm/string_resource.h"

#include <cstdio>
#include <cstring>

#include "comm/error_codes.h"

namespace quillon::comm {

namespace generated {
struct Resource {
    const char *name;
    const uint8_t *data;
    size_t size;
};
extern const Resource kResources[];
extern const size_t kResourceCount;
} // namespace generated

namespace {

uint32_t read32(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The manager's own texts come from its own table; fall back to fixed text only if even
// that table is broken, so that reporting a broken table never needs the broken table.
std::string managerText(uint32_t id, const char *fallback) {
    auto raw = FindStringResource(kStrMgrStrings);
    if (raw.size() >= 8 && std::memcmp(raw.data(), "STR0", 4) == 0) {
        TStringResource t(raw);
        auto s = t.GetString(id);
        if (!s.empty()) {
            return s;
        }
    }
    return fallback;
}

std::string withArg(const std::string &pattern, const std::string &arg) {
    auto at = pattern.find_first_of('%');
    if (at == std::string::npos || at + 1 >= pattern.size()) {
        return pattern;
    }
    return pattern.substr(0, at) + arg + pattern.substr(at + 2);
}

void appendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string toUtf8(const std::u16string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        appendUtf8(out, cp);
    }
    return out;
}

} // namespace

std::span<const uint8_t> FindStringResource(std::string_view name) {
    for (size_t i = 0; i < generated::kResourceCount; ++i) {
        if (name == generated::kResources[i].name) {
            return {generated::kResources[i].data, generated::kResources[i].size};
        }
    }
    return {};
}

TStringResource::TStringResource(std::string_view resourceName, bool raiseIfMissing)
    : raiseIfMissing_(raiseIfMissing) {
    table_ = FindStringResource(resourceName);
    if (table_.empty()) {
        throw EStringResourceError(
            withArg(managerText(3, "String resource not found: %s"), std::string(resourceName)));
    }
    validate();
}

TStringResource::TStringResource(std::span<const uint8_t> table, bool raiseIfMissing)
    : table_(table), raiseIfMissing_(raiseIfMissing) {
    validate();
}

void TStringResource::validate() {
    if (table_.size() < 8 || std::memcmp(table_.data(), "STR0", 4) != 0) {
        throw EStringResourceError(managerText(5, "Invalid STR0 resource"));
    }
    count_ = read32(table_, 4);
    // Entries or texts that lie outside the table make it invalid as a whole.
    if (count_ > (table_.size() - 8) / 12) {
        throw EStringResourceError(managerText(5, "Invalid STR0 resource"));
    }
    for (uint32_t i = 0; i < count_; ++i) {
        uint64_t off = read32(table_, 8 + 12 * i + 4);
        uint64_t len = read32(table_, 8 + 12 * i + 8);
        if (off + 2 * len > table_.size()) {
            throw EStringResourceError(managerText(5, "Invalid STR0 resource"));
        }
    }
}

long TStringResource::find(uint32_t id) const {
    long low = 0;
    long high = static_cast<long>(count_) - 1;
    while (low <= high) {
        long middle = (low + high) / 2;
        uint32_t here = read32(table_, 8 + 12 * static_cast<size_t>(middle));
        if (here == id) {
            return middle;
        }
        if (here < id) {
            low = middle + 1;
        } else {
            high = middle - 1;
        }
    }
    return -1;
}

std::u16string TStringResource::text(long index) const {
    size_t entry = 8 + 12 * static_cast<size_t>(index);
    size_t off = read32(table_, entry + 4);
    size_t len = read32(table_, entry + 8);
    std::u16string s(len, u'\0');
    for (size_t i = 0; i < len; ++i) {
        s[i] = static_cast<char16_t>(table_[off + 2 * i] | table_[off + 2 * i + 1] << 8);
    }
    return s;
}

std::string TStringResource::GetString(uint32_t id) const {
    long index = find(id);
    if (index < 0) {
        if (raiseIfMissing_) {
            throw EStringResourceError(
                withArg(managerText(1, "String not found: %d"), std::to_string(id)));
        }
        return {};
    }
    return toUtf8(text(index));
}

std::string TStringResource::GetShortString(uint32_t id, size_t maxBytes) const {
    long index = find(id);
    if (index < 0) {
        return GetString(id); // empty, or raises
    }
    auto units = text(index);
    auto converted = toUtf8(units);
    while (converted.size() > maxBytes && !units.empty()) {
        units.pop_back();
        converted = toUtf8(units);
    }
    return converted;
}

const TStringResource &ErrorStrings() {
    static const TStringResource table(kErrorStrings);
    return table;
}

const TStringResource &FaxStrings() {
    static const TStringResource table(kFaxStrings);
    return table;
}

const TStringResource &StrMgrStrings() {
    static const TStringResource table(kStrMgrStrings);
    return table;
}

std::string FaxStatusText(int code) {
    if (code < 1 || code > 43) {
        return {};
    }
    return FaxStrings().GetShortString(static_cast<uint32_t>(code), 80);
}

} // namespace quillon::comm
