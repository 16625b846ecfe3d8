#include "comm/trace_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "comm/error_codes.h"
#include "comm/string_resource.h"
#include "platform/serial_device.h"

namespace quillon::comm {

namespace {

constexpr size_t kHeaderSize = 16;

// One byte as the trace and the log write it, with its width.
std::string byteToken(uint8_t b, bool hex) {
    uint8_t lower = hex ? 0x21 : 0x20;
    if (b >= lower && b <= 0x7E) {
        return std::string(1, static_cast<char>(b));
    }
    char buf[8];
    if (hex) {
        std::snprintf(buf, sizeof buf, "[%02X]", b);
    } else {
        std::snprintf(buf, sizeof buf, "[%u]", b);
    }
    return buf;
}

// Writes `text` to `file` (appended when asked and the file exists); 0 or -errno.
int writeFile(const std::string &file, bool append, const std::string &text) {
    std::error_code ec;
    bool exists = std::filesystem::exists(file, ec);
    std::FILE *f = std::fopen(file.c_str(), append && exists ? "ab" : "wb");
    if (f == nullptr) {
        return errno != 0 ? -errno : -5;
    }
    size_t n = std::fwrite(text.data(), 1, text.size(), f);
    int err = n == text.size() ? 0 : (errno != 0 ? errno : EIO);
    if (std::fclose(f) != 0 && err == 0) {
        err = errno != 0 ? errno : EIO;
    }
    return -err;
}

std::string compilerText() {
#if defined(__clang__)
    return "Clang " __clang_version__;
#elif defined(__GNUC__)
    return "GNU C++ " __VERSION__;
#else
    return "C++";
#endif
}

} // namespace

// ---- trace ----

int TTraceRing::Start(uint32_t entries) {
    if (entries > kMaxTraceEntries) {
        return kErrBadArgument;
    }
    if (!ring_.empty()) {
        Clear();
    } else {
        capacity_ = entries == 0 ? 1 : entries;
        ring_.assign(2 * static_cast<size_t>(capacity_), 0);
        next_ = 0;
        wrapped_ = false;
    }
    on_ = true;
    return 0;
}

void TTraceRing::Stop() {
    on_ = false;
    ring_.clear();
    ring_.shrink_to_fit();
    capacity_ = 0;
    next_ = 0;
    wrapped_ = false;
}

void TTraceRing::Clear() {
    next_ = 0;
    wrapped_ = false;
}

std::string TTraceRing::Render(bool hex) const {
    std::string out;
    uint32_t count = wrapped_ ? capacity_ : next_;
    uint32_t start = wrapped_ ? next_ : 0;
    char previous = 0;
    size_t column = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t at = (start + i) % capacity_;
        char kind = static_cast<char>(ring_[2 * at]);
        uint8_t byte = ring_[2 * at + 1];
        if (i == 0 || kind != previous) {
            if (i != 0) {
                out += "\n\n";
            }
            if (kind == 'R') {
                out += "Receive: ";
            } else if (kind == 'T') {
                out += "Transmit: ";
            } else {
                out += std::string("Special-") + kind + ": ";
            }
            out += "\n";
            column = 0;
            previous = kind;
        }
        std::string token = byteToken(byte, hex);
        column += token.size();
        if (column > 78) {
            out += "\n";
            column = token.size();
        }
        out += token;
    }
    if (count != 0) {
        out += "\n";
    }
    return out;
}

int TTraceRing::Write(const std::string &file, bool append, bool hex) {
    if (ring_.empty()) {
        return 0;
    }
    on_ = false;
    if (!wrapped_ && next_ == 0) {
        Stop();
        return 0;
    }
    int rc = writeFile(file, append, Render(hex));
    Stop();
    return rc;
}

// ---- log ----

int TLogRing::Start(uint32_t bytes) {
    if (bytes > kMaxLogBytes) {
        return kErrBadArgument;
    }
    if (!ring_.empty()) {
        Clear();
    } else {
        ring_.assign(bytes < kHeaderSize ? kHeaderSize : bytes, 0);
        Clear();
    }
    on_ = true;
    return 0;
}

void TLogRing::Stop() {
    on_ = false;
    ring_.clear();
    ring_.shrink_to_fit();
    head_ = tail_ = free_ = 0;
}

void TLogRing::Clear() {
    head_ = tail_ = 0;
    free_ = static_cast<uint32_t>(ring_.size());
}

void TLogRing::copyIn(uint32_t pos, const uint8_t *src, uint32_t n) {
    auto size = static_cast<uint32_t>(ring_.size());
    uint32_t first = std::min(n, size - pos);
    std::memcpy(ring_.data() + pos, src, first);
    std::memcpy(ring_.data(), src + first, n - first);
}

void TLogRing::copyOut(uint32_t pos, uint8_t *dst, uint32_t n) const {
    auto size = static_cast<uint32_t>(ring_.size());
    uint32_t first = std::min(n, size - pos);
    std::memcpy(dst, ring_.data() + pos, first);
    std::memcpy(dst + first, ring_.data(), n - first);
}

namespace {
uint32_t readU32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void putU32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
} // namespace

void TLogRing::Add(uint8_t type, uint8_t subtype, uint32_t timeMs, uint32_t otherData,
                   const void *data, uint32_t length) {
    auto size = static_cast<uint32_t>(ring_.size());
    if (!on_ || size == 0 || length > size - kHeaderSize) {
        return;
    }
    uint32_t need = kHeaderSize + length;
    while (free_ < need) {
        uint8_t header[kHeaderSize];
        copyOut(tail_, header, kHeaderSize);
        uint32_t old = kHeaderSize + readU32(header + 12);
        tail_ = (tail_ + old) % size;
        free_ += old;
    }
    uint8_t header[kHeaderSize] = {type, subtype, 0, 0};
    putU32(header + 4, timeMs);
    putU32(header + 8, otherData);
    putU32(header + 12, length);
    copyIn(head_, header, kHeaderSize);
    head_ = (head_ + kHeaderSize) % size;
    if (length != 0) {
        copyIn(head_, static_cast<const uint8_t *>(data), length);
        head_ = (head_ + length) % size;
    }
    free_ -= need;
}

std::vector<TLogRing::Entry> TLogRing::Entries() const {
    std::vector<Entry> entries;
    auto size = static_cast<uint32_t>(ring_.size());
    if (size == 0) {
        return entries;
    }
    uint32_t used = size - free_;
    uint32_t pos = tail_;
    while (used >= kHeaderSize) {
        uint8_t header[kHeaderSize];
        copyOut(pos, header, kHeaderSize);
        Entry e;
        e.type = header[0];
        e.subtype = header[1];
        e.time = readU32(header + 4);
        e.otherData = readU32(header + 8);
        uint32_t length = readU32(header + 12);
        pos = (pos + kHeaderSize) % size;
        // The data part is sized by its own entry, whatever the device's queue sizes.
        e.data.resize(length);
        if (length != 0) {
            copyOut(pos, e.data.data(), length);
        }
        pos = (pos + length) % size;
        used -= kHeaderSize + length;
        entries.push_back(std::move(e));
    }
    return entries;
}

std::string FormatLogTime(uint32_t ms) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07u", ms);
    std::string s(digits);
    s.insert(s.size() - 3, ".");
    return s;
}

std::string TLogRing::Render(bool hex) const {
    const TStringResource &names = ErrorStrings();
    std::string out = "FaxComm v1.00\n";
    out += "Compiler : " + compilerText() + "\n";
    out += "Operating System : " + platform::PlatformDescription() + "\n";
    out += names.GetString(15501) + "\n";
    out += names.GetString(15502) + "\n";
    static const char *const kKinds[] = {"(Not active)",         "(Modem status)",
                                         "(Line status)",        "(Output buffer free)",
                                         "(Output buffer used)", "(Output sent)"};
    for (const Entry &e : Entries()) {
        std::string subName = e.subtype == 0 ? std::string() : names.GetString(15100 + e.subtype);
        char prefix[128];
        std::snprintf(prefix, sizeof prefix, "%8s  %-8s  %-12s  %08x  ",
                      FormatLogTime(e.time).c_str(), names.GetString(15001 + e.type).c_str(),
                      subName.c_str(), e.otherData);
        out += prefix;
        if (!e.data.empty()) {
            if (e.subtype == lsAllocStatus && (e.type == ltTrigAllc || e.type == ltTrigDisp)) {
                uint8_t kind = e.data[0];
                out += kind < 6 ? kKinds[kind] : "";
            } else {
                size_t column = 45;
                for (uint8_t b : e.data) {
                    std::string token = byteToken(b, hex);
                    column += token.size();
                    if (column >= 79) {
                        out += "\n" + std::string(44, ' ');
                        column = token.size() + 45;
                    }
                    out += token;
                }
                if (e.subtype == lsModemStatus) {
                    std::string bits;
                    for (uint32_t bit = 0; bit < 8; ++bit) {
                        if (e.otherData & (1u << bit)) {
                            bits += names.GetString(15601 + bit);
                        }
                    }
                    while (!bits.empty() && bits.back() == ' ') {
                        bits.pop_back();
                    }
                    out += "(" + bits + ")";
                }
            }
        } else if (e.type == ltTelnet) {
            out += "[" + names.GetString(15700 + e.otherData) + "]";
        }
        out += "\n";
    }
    return out;
}

int TLogRing::Write(const std::string &file, bool append, bool hex) {
    on_ = false;
    if (ring_.empty() || free_ == ring_.size()) {
        Stop();
        return 0;
    }
    int rc = writeFile(file, append, Render(hex));
    Stop();
    return rc;
}

} // namespace quillon::comm
