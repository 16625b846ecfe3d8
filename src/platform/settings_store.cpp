#include "platform/settings_store.h"

#include "platform/file_replace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <unordered_map>

namespace quillon::platform {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// A key path without empty levels or a trailing separator.
std::string normalKey(std::string_view key) {
    std::string out;
    size_t i = 0;
    while (i < key.size()) {
        size_t j = key.find('\\', i);
        if (j == std::string_view::npos) {
            j = key.size();
        }
        if (j > i) {
            if (!out.empty()) {
                out.push_back('\\');
            }
            out.append(key.substr(i, j - i));
        }
        i = j + 1;
    }
    return out;
}

struct Entry {
    std::string name; // empty name: the key's default value ("@")
    RegValue value;
};

struct Section {
    std::string key;
    std::vector<Entry> entries;
    std::vector<std::string> unparsed; // lines kept verbatim
};

struct Document {
    std::vector<std::string> unparsedTop;
    std::vector<Section> sections;
    size_t unparsedCount = 0;
    std::vector<size_t> unparsedLines; // 1-based numbers of the lines the reader could not read

    Section *find(std::string_view key) {
        auto k = lower(normalKey(key));
        for (auto &s : sections) {
            if (lower(s.key) == k) {
                return &s;
            }
        }
        return nullptr;
    }
};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Parses a quoted string starting at s[i] == '"'; advances i past the closing quote.
std::optional<std::string> parseQuoted(std::string_view s, size_t &i) {
    if (i >= s.size() || s[i] != '"') {
        return std::nullopt;
    }
    std::string out;
    out.reserve(s.size() - i); // at most the rest of the line: no regrowth for long values
    for (++i; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            out.push_back(s[++i]);
        } else if (s[i] == '"') {
            ++i;
            return out;
        } else {
            out.push_back(s[i]);
        }
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> parseHexList(std::string_view s) {
    std::vector<uint8_t> out;
    out.reserve(s.size() / 3 + 1);
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == ',')) {
            ++i;
        }
        if (i >= s.size()) {
            break;
        }
        if (i + 1 >= s.size() && hexDigit(s[i]) >= 0) {
            return std::nullopt;
        }
        int hi = hexDigit(s[i]);
        int lo = i + 1 < s.size() ? hexDigit(s[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

std::optional<Entry> parseEntry(std::string_view line) {
    Entry e;
    size_t i = 0;
    if (line[0] == '@') {
        i = 1;
    } else {
        auto name = parseQuoted(line, i);
        if (!name) {
            return std::nullopt;
        }
        e.name = *name;
    }
    if (i >= line.size() || line[i] != '=') {
        return std::nullopt;
    }
    ++i;
    std::string_view rest = line.substr(i);
    if (!rest.empty() && rest[0] == '"') {
        auto text = parseQuoted(line, i);
        if (!text || i != line.size()) {
            return std::nullopt;
        }
        e.value = RegValue::String(std::move(*text));
        return e;
    }
    if (rest.starts_with("dword:")) {
        auto digits = rest.substr(6);
        if (digits.size() != 8) {
            return std::nullopt;
        }
        uint32_t v = 0;
        for (char c : digits) {
            int d = hexDigit(c);
            if (d < 0) {
                return std::nullopt;
            }
            v = v * 16 + static_cast<uint32_t>(d);
        }
        e.value = RegValue::Dword(v);
        return e;
    }
    if (rest.starts_with("hex:")) {
        auto bytes = parseHexList(rest.substr(4));
        if (!bytes) {
            return std::nullopt;
        }
        e.value = RegValue::Binary(std::move(*bytes));
        return e;
    }
    // A string holding line breaks is written as hex(1): its UTF-8 bytes and a final 0.
    if (rest.starts_with("hex(1):")) {
        auto bytes = parseHexList(rest.substr(7));
        if (!bytes || bytes->empty() || bytes->back() != 0) {
            return std::nullopt;
        }
        e.value = RegValue::String(std::string(bytes->begin(), bytes->end() - 1));
        return e;
    }
    return std::nullopt;
}

// One pass over the text, each logical line handled as it completes: the work and the
// memory grow with the size of the text, whatever the number of keys, values or
// continuation lines.
class Parser {
  public:
    Document take() { return std::move(doc_); }

    // `number`: the 1-based number of the text line where this logical line starts.
    void line(std::string_view line, size_t number) {
        if (line.empty() || line == "REGEDIT4" || line.starts_with("Windows Registry Editor") ||
            line[0] == ';') {
            return;
        }
        auto key = line.front() == '[' && line.back() == ']' && line.size() > 2 && line[1] != '-'
                       ? normalKey(line.substr(1, line.size() - 2))
                       : std::string();
        if (!key.empty() && key[0] != '-') {
            auto [it, added] = sectionAt_.try_emplace(lower(key), doc_.sections.size());
            if (added) {
                doc_.sections.push_back(Section{key, {}, {}});
            }
            current_ = it->second;
            return;
        }
        const bool inSection = current_ != kNone;
        std::optional<Entry> entry;
        if (inSection && (line[0] == '"' || line[0] == '@')) {
            entry = parseEntry(line);
        }
        if (!entry) {
            ++doc_.unparsedCount;
            doc_.unparsedLines.push_back(number);
            (inSection ? doc_.sections[current_].unparsed : doc_.unparsedTop).emplace_back(line);
            return;
        }
        Section &section = doc_.sections[current_];
        std::string id = std::to_string(current_) + '\0' + lower(entry->name);
        auto [it, added] = entryAt_.try_emplace(std::move(id), section.entries.size());
        if (added) {
            section.entries.push_back(std::move(*entry));
        } else {
            section.entries[it->second].value = std::move(entry->value); // the last one wins
        }
    }

  private:
    static constexpr size_t kNone = static_cast<size_t>(-1);
    Document doc_;
    size_t current_ = kNone;
    std::unordered_map<std::string, size_t> sectionAt_; // lower-case key -> section
    std::unordered_map<std::string, size_t> entryAt_;   // section, lower-case name -> entry
};

Document parse(const std::string &text) {
    Parser parser;
    // Join continuation lines (a trailing backslash after a hex list).
    std::string pending;
    bool continued = false;
    bool hexLine = false; // the logical line being joined holds "=hex"
    size_t at = 0;
    size_t rawNumber = 0;
    size_t pendingStart = 0;
    while (at < text.size()) {
        ++rawNumber;
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string_view raw(text.data() + at, end - at);
        at = end + 1;
        while (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
        }
        if (continued) {
            size_t start = raw.find_first_not_of(' ');
            if (start == std::string_view::npos) {
                // A continuation never ends in a blank line: the backslash was the text's own.
                pending += '\\';
                parser.line(pending, pendingStart);
                pending.clear();
                continued = false;
                continue;
            }
            raw.remove_prefix(start);
        } else {
            hexLine = raw.find("=hex") != std::string_view::npos;
            if (!(hexLine && !raw.empty() && raw.back() == '\\')) {
                parser.line(raw, rawNumber); // the common case: no copy
                continue;
            }
            pending.clear();
            pendingStart = rawNumber;
        }
        pending += raw;
        continued = hexLine && !pending.empty() && pending.back() == '\\';
        if (continued) {
            pending.pop_back();
            continue;
        }
        parser.line(pending, pendingStart);
        std::string().swap(pending); // a long joined value is not kept twice
    }
    if (continued) {
        // The file ends inside a continuation: keep the line as it was written.
        pending += '\\';
        parser.line(pending, pendingStart);
    }
    return parser.take();
}

// Both append to `out` directly (format makes room once): a long value is never copied twice.
void appendQuoted(std::string &out, const std::string &s) {
    out.push_back('"');
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
}

void appendHexList(std::string &out, const std::vector<uint8_t> &bytes) {
    static const char *digits = "0123456789abcdef";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) {
            out.push_back(',');
        }
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
}

// A kept line that looks like the start of a continuation is followed by a blank line, so
// that reading it back does not join it to the next one.
std::string keptLine(const std::string &line) {
    bool looksContinued =
        !line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos;
    return line + (looksContinued ? "\n\n" : "\n");
}

size_t quotedSize(const std::string &s) {
    return s.size() + 2 + static_cast<size_t>(std::count(s.begin(), s.end(), '\\')) +
           static_cast<size_t>(std::count(s.begin(), s.end(), '"'));
}

// An upper bound of what format writes, so that its output is allocated once.
size_t formattedSize(const Document &doc) {
    size_t n = 16;
    auto kept = [&n](const std::vector<std::string> &lines) {
        for (const auto &line : lines) {
            n += line.size() + 2;
        }
    };
    kept(doc.unparsedTop);
    for (const auto &s : doc.sections) {
        n += s.key.size() + 4;
        for (const auto &e : s.entries) {
            n += quotedSize(e.name) + 2;
            switch (e.value.type) {
            case RegType::String:
                n += e.value.text.find_first_of("\r\n") == std::string::npos
                         ? quotedSize(e.value.text)
                         : (e.value.text.size() + 1) * 3 + 8; // hex(1)
                break;
            case RegType::Dword:
                n += 16;
                break;
            case RegType::Binary:
                n += e.value.bytes.size() * 3 + 4;
                break;
            }
        }
        kept(s.unparsed);
    }
    return n;
}

std::string format(const Document &doc) {
    std::string out;
    out.reserve(formattedSize(doc));
    out += "REGEDIT4\n\n";
    for (const auto &line : doc.unparsedTop) {
        out += keptLine(line);
    }
    std::vector<const Section *> sorted;
    for (const auto &s : doc.sections) {
        sorted.push_back(&s);
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const Section *a, const Section *b) {
        return lower(a->key) < lower(b->key);
    });
    for (const Section *s : sorted) {
        out += "[" + s->key + "]\n";
        for (const auto &e : s->entries) {
            if (e.name.empty()) {
                out += "@";
            } else {
                appendQuoted(out, e.name);
            }
            out += "=";
            switch (e.value.type) {
            case RegType::String:
                if (e.value.text.find_first_of("\r\n") != std::string::npos) {
                    std::vector<uint8_t> b(e.value.text.begin(), e.value.text.end());
                    b.push_back(0);
                    out += "hex(1):";
                    appendHexList(out, b);
                } else {
                    appendQuoted(out, e.value.text);
                }
                break;
            case RegType::Dword: {
                char buf[16];
                std::snprintf(buf, sizeof buf, "dword:%08x", e.value.dword);
                out += buf;
                break;
            }
            case RegType::Binary:
                out += "hex:";
                appendHexList(out, e.value.bytes);
                break;
            }
            out += "\n";
        }
        for (const auto &line : s->unparsed) {
            out += keptLine(line);
        }
        out += "\n";
    }
    return out;
}

std::string readFile(const std::filesystem::path &file) {
    // Read straight into one string: no second copy of a large file.
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    std::string text;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<size_t>(in.gcount()));
    }
    return text;
}

// Holds an exclusive lock on "<file>.lock" for a read-modify-write cycle, so that two
// processes changing the store never lose each other's values.
class WriteLock {
  public:
    explicit WriteLock(const std::filesystem::path &file) {
        auto lockPath = file;
        lockPath += ".lock";
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) < 0 && errno == EINTR) {
            }
        }
    }
    ~WriteLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    WriteLock(const WriteLock &) = delete;
    WriteLock &operator=(const WriteLock &) = delete;
    [[nodiscard]] bool ok() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

bool writeAtomically(const std::filesystem::path &file, const std::string &text) {
    ReplaceResult r = ReplaceFileContents(file, text, 0600, ".tmp");
    if (r.step == ReplaceStep::Write) {
        auto tmp = file;
        tmp += ".tmp";
        std::fprintf(stderr, "settings: cannot write %s: %s\n", tmp.c_str(),
                     std::strerror(r.error));
    } else if (r.step == ReplaceStep::Rename) {
        std::fprintf(stderr, "settings: cannot replace %s: %s\n", file.c_str(),
                     std::strerror(r.error));
    }
    return r.ok();
}

template <class Change> bool modify(const std::filesystem::path &file, Change change) {
    std::error_code ec;
    if (!file.parent_path().empty()) {
        std::filesystem::create_directories(file.parent_path(), ec);
        if (ec) {
            std::fprintf(stderr, "settings: cannot create %s: %s\n", file.parent_path().c_str(),
                         ec.message().c_str());
            return false;
        }
    }
    WriteLock lock(file);
    if (!lock.ok()) {
        std::fprintf(stderr, "settings: cannot lock %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    Document doc = parse(readFile(file));
    if (!change(doc)) {
        return false;
    }
    if (doc.unparsedCount > 0) {
        std::fprintf(stderr,
                     "settings: %s has %zu line(s) that could not be read; kept as they are\n",
                     file.c_str(), doc.unparsedCount);
    }
    return writeAtomically(file, format(doc));
}

// Adds the key and each of its parents as a section of its own, as a registry export does.
Section &ensureKey(Document &doc, std::string_view key) {
    auto full = normalKey(key);
    size_t pos = 0;
    for (;;) {
        pos = full.find('\\', pos);
        auto prefix = full.substr(0, pos);
        if (!doc.find(prefix)) {
            doc.sections.push_back(Section{prefix, {}, {}});
        }
        if (pos == std::string::npos) {
            break;
        }
        ++pos;
    }
    return *doc.find(full);
}

} // namespace

SettingsStore::SettingsStore(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path SettingsStore::UserStorePath() {
    if (const char *dir = std::getenv("QUILLON_CONFIG_DIR"); dir && *dir) {
        return std::filesystem::path(dir) / "user.reg";
    }
    if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        return std::filesystem::path(xdg) / "quillon" / "user.reg";
    }
    const char *home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".config" / "quillon" / "user.reg";
}

std::string SettingsStore::Canonical(const std::string &text) {
    return format(parse(text));
}

SettingsStore SettingsStore::User() {
    return SettingsStore(UserStorePath());
}

bool SettingsStore::KeyExists(std::string_view key) const {
    Document doc = parse(readFile(file_));
    if (doc.find(key)) {
        return true;
    }
    auto prefix = lower(normalKey(key)) + "\\";
    return std::any_of(doc.sections.begin(), doc.sections.end(),
                       [&](const Section &s) { return lower(s.key).starts_with(prefix); });
}

std::optional<RegValue> SettingsStore::GetValue(std::string_view key, std::string_view name) const {
    Document doc = parse(readFile(file_));
    Section *s = doc.find(key);
    if (!s) {
        return std::nullopt;
    }
    auto n = lower(name);
    for (const auto &e : s->entries) {
        if (lower(e.name) == n) {
            return e.value;
        }
    }
    return std::nullopt;
}

std::vector<std::string> SettingsStore::ValueNames(std::string_view key) const {
    Document doc = parse(readFile(file_));
    std::vector<std::string> names;
    if (Section *s = doc.find(key)) {
        for (const auto &e : s->entries) {
            names.push_back(e.name);
        }
    }
    return names;
}

std::vector<std::string> SettingsStore::SubKeys(std::string_view key) const {
    Document doc = parse(readFile(file_));
    auto base = normalKey(key);
    auto prefix = lower(base) + "\\";
    std::vector<std::string> out;
    for (const auto &s : doc.sections) {
        auto k = lower(s.key);
        if (k.starts_with(prefix)) {
            auto rest = s.key.substr(prefix.size());
            rest = rest.substr(0, rest.find('\\'));
            if (std::none_of(out.begin(), out.end(),
                             [&](const std::string &x) { return lower(x) == lower(rest); })) {
                out.push_back(rest);
            }
        }
    }
    return out;
}

bool SettingsStore::CreateKey(std::string_view key) {
    return modify(file_, [&](Document &doc) {
        ensureKey(doc, key);
        return true;
    });
}

bool SettingsStore::SetValue(std::string_view key, std::string_view name, const RegValue &value) {
    return modify(file_, [&](Document &doc) {
        Section &s = ensureKey(doc, key);
        auto n = lower(name);
        for (auto &e : s.entries) {
            if (lower(e.name) == n) {
                e.value = value;
                return true;
            }
        }
        s.entries.push_back(Entry{std::string(name), value});
        return true;
    });
}

bool SettingsStore::DeleteValue(std::string_view key, std::string_view name) {
    return modify(file_, [&](Document &doc) {
        Section *s = doc.find(key);
        if (!s) {
            return false;
        }
        auto n = lower(name);
        auto before = s->entries.size();
        std::erase_if(s->entries, [&](const Entry &e) { return lower(e.name) == n; });
        return s->entries.size() != before;
    });
}

bool SettingsStore::DeleteKey(std::string_view key) {
    return modify(file_, [&](Document &doc) {
        auto k = lower(normalKey(key));
        auto before = doc.sections.size();
        std::erase_if(doc.sections, [&](const Section &s) {
            auto l = lower(s.key);
            return l == k || l.starts_with(k + "\\");
        });
        return doc.sections.size() != before;
    });
}

std::vector<size_t> SettingsStore::UnreadableLines(const std::string &text) {
    return parse(text).unparsedLines;
}

} // namespace quillon::platform
