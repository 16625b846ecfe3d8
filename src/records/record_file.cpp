// Item operations, navigation, administrative items, the cache and the key matchers of
// TRecordFile. Opening, the journal and Close are in record_file_store.cpp.

#include "records/record_file.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <new>

#include "platform/event_loop.h"
#include "records/compression.h"

namespace quillon::records {

namespace {

int foldChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

// Wildcard pattern: '*' any run, '?' any one character, everything else literal.
bool wildcardMatch(const std::string &pattern, const std::string &text, bool caseSensitive) {
    auto same = [caseSensitive](unsigned char a, unsigned char b) {
        return caseSensitive ? a == b : foldChar(a) == foldChar(b);
    };
    size_t p = 0;
    size_t t = 0;
    size_t starP = std::string::npos;
    size_t starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], text[t]))) {
            ++p;
            ++t;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

} // namespace

TRecordFile::TRecordFile() = default;

TRecordFile::~TRecordFile() {
    try {
        Close();
    } catch (...) {
        // A destructor must not throw; the journal keeps every change for the next open.
    }
}

void TRecordFile::SetFileName(const std::string &name) {
    AssignFile(name);
}

void TRecordFile::AssignFile(const std::string &name) {
    std::string full = name;
    if (!full.empty()) {
        if (expandedFileNames_) {
            full = std::filesystem::absolute(full).lexically_normal().string();
        }
        if (std::filesystem::path(full).extension().empty()) {
            full += ".QDB";
        }
    }
    if (open_ && full == fileName_) {
        return;
    }
    Close();
    fileName_ = full;
    if (full.empty()) {
        return;
    }
    try {
        open();
    } catch (...) {
        discardState();
        throw;
    }
    if (OnFileAssigned) {
        OnFileAssigned(*this);
    }
}

void TRecordFile::SetCacheSize(uint32_t bytes) {
    cacheSize_ = bytes;
    while (cacheTotal_ > cacheSize_ && !cache_.empty()) {
        auto oldest = std::min_element(cache_.begin(), cache_.end(), [](auto &a, auto &b) {
            return a.second.stamp < b.second.stamp;
        });
        cacheTotal_ -= oldest->second.bytes.size();
        cache_.erase(oldest);
    }
}

int TRecordFile::CacheFrequency() const {
    if (accesses_ == 0) {
        return 0;
    }
    return static_cast<int>(
        std::lround(static_cast<double>(hits_) * 100.0 / static_cast<double>(accesses_)));
}

void TRecordFile::SetFilter(const std::string &pattern) {
    std::optional<std::regex> compiled;
    if (useGrepMatch_ && !pattern.empty()) {
        try {
            auto flags = std::regex::ECMAScript | std::regex::nosubs;
            if (!caseSensitive_) {
                flags |= std::regex::icase;
            }
            compiled.emplace(pattern, flags);
        } catch (const std::regex_error &e) {
            throw ERecError("The filter '" + pattern + "' is not a valid pattern: " + e.what());
        }
    }
    filter_ = pattern;
    grep_ = std::move(compiled);
}

void TRecordFile::SetUseGrepMatch(bool on) {
    useGrepMatch_ = on;
    SetFilter(filter_);
}

bool TRecordFile::MatchesFilter(const std::string &key) const {
    if (filter_.empty()) {
        return true;
    }
    if (useGrepMatch_ && grep_) {
        return std::regex_search(key, *grep_);
    }
    return wildcardMatch(filter_, key, caseSensitive_);
}

int TRecordFile::CompareKeys(const std::string &a, const std::string &b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int x = static_cast<unsigned char>(a[i]);
        int y = static_cast<unsigned char>(b[i]);
        if (!caseSensitive_) {
            x = foldChar(static_cast<unsigned char>(x));
            y = foldChar(static_cast<unsigned char>(y));
        }
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

size_t TRecordFile::lowerBound(const std::vector<TIndexEntry> &list, const std::string &key) const {
    auto it = std::lower_bound(
        list.begin(), list.end(), key,
        [this](const TIndexEntry &e, const std::string &k) { return CompareKeys(e.key, k) < 0; });
    return static_cast<size_t>(it - list.begin());
}

std::optional<size_t> TRecordFile::find(const std::vector<TIndexEntry> &list,
                                        const std::string &key) const {
    size_t pos = lowerBound(list, key);
    if (pos < list.size() && CompareKeys(list[pos].key, key) == 0) {
        return pos;
    }
    return std::nullopt;
}

void TRecordFile::RequireFile() const {
    if (!open_) {
        throw ERecNoFile(kMsgNoFile);
    }
}

void TRecordFile::raiseNotValid() const {
    throw ERecIndexError(FormatMessage(kMsgNotValid, fileName_));
}

void TRecordFile::warnNoData() {
    if (WarnNoData) {
        WarnNoData(*this);
        return;
    }
    throw ERecNoData(FormatMessage(kMsgNoData, fileName_));
}

void TRecordFile::warnOutOfBounds() {
    if (WarnOutOfBounds) {
        WarnOutOfBounds(*this);
        return;
    }
    throw ERecOutOfBounds(kMsgOutOfBounds);
}

void TRecordFile::warnReadOnly() {
    if (WarnReadOnly) {
        WarnReadOnly(*this);
        return;
    }
    throw ERecReadOnly(FormatMessage(kMsgReadOnly, fileName_));
}

void TRecordFile::progress(int position, int phase) {
    platform::EventLoop::current().pump();
    if (ProgressUpdate) {
        ProgressUpdate(*this, position, phase);
    }
}

// ---- items -------------------------------------------------------------------------------

Bytes TRecordFile::prepareBlock(const Bytes &block, uint32_t &flags) const {
    flags = 0;
    if (!compression_) {
        return block;
    }
    try {
        flags = kFlagCompressed;
        return CompressBlock(block.data(), block.size());
    } catch (const std::bad_alloc &) {
        throw ERecNoCompress(kMsgNoCompress);
    }
}

Bytes TRecordFile::readBlock(const TIndexEntry &entry) {
    Bytes stored(entry.size);
    if (entry.size > 0 && data_.readAt(entry.offset, stored.data(), stored.size()) != 0) {
        raiseNotValid();
    }
    if ((entry.flags & kFlagCompressed) == 0) {
        return stored;
    }
    Bytes expanded;
    int rc = 0;
    try {
        rc = ExpandBlock(stored.data(), stored.size(), expanded);
    } catch (const std::bad_alloc &) {
        throw ERecNoCompress(kMsgNoCompress);
    }
    if (rc != 0) {
        raiseNotValid();
    }
    return expanded;
}

uint32_t TRecordFile::appendData(const Bytes &stored) {
    if (dataSize_ + stored.size() > 0xFFFFFFFFull) {
        throw ERecFileError(FileErrorMessage(-1, fileName_, "Unable to extend the file %s"));
    }
    auto offset = static_cast<uint32_t>(dataSize_);
    int rc = data_.writeAt(dataSize_, stored.data(), stored.size());
    if (rc != 0) {
        throw ERecFileError(
            FileErrorMessage(rc == -101 ? -101 : -1, fileName_, "Unable to extend the file %s"));
    }
    dataSize_ += stored.size();
    return offset;
}

void TRecordFile::applyAdd(const std::string &key, const Bytes &stored, uint32_t flags) {
    if (auto at = find(keys_, key)) {
        applyChange(*at, stored, flags);
        return;
    }
    TIndexEntry entry{key, appendData(stored), static_cast<uint32_t>(stored.size()), flags};
    size_t pos = lowerBound(keys_, key);
    keys_.insert(keys_.begin() + static_cast<ptrdiff_t>(pos), std::move(entry));
    undo_.push_back({false, key, std::nullopt});
    indexChanged_ = true;
}

void TRecordFile::applyChange(size_t index, const Bytes &stored, uint32_t flags) {
    TIndexEntry &e = keys_[index];
    undo_.push_back({false, e.key, e});
    if (stored.size() > e.size) {
        e.offset = appendData(stored);
    } else if (!stored.empty()) {
        int rc = data_.writeAt(e.offset, stored.data(), stored.size());
        if (rc != 0) {
            throw ERecFileError(FileErrorMessage(-1, fileName_, "Unable to extend the file %s"));
        }
    }
    e.size = static_cast<uint32_t>(stored.size());
    e.flags = (e.flags & ~kFlagCompressed) | (flags & kFlagCompressed);
    indexChanged_ = true;
}

void TRecordFile::applyDelete(size_t index) {
    undo_.push_back({false, keys_[index].key, keys_[index]});
    cacheDrop(keys_[index].key);
    keys_.erase(keys_.begin() + static_cast<ptrdiff_t>(index));
    indexChanged_ = true;
}

void TRecordFile::applyAdmin(const std::string &key, const Bytes &stored) {
    TIndexEntry entry{key, appendData(stored), static_cast<uint32_t>(stored.size()), kFlagAdmin};
    if (auto at = find(admin_, key)) {
        undo_.push_back({true, key, admin_[*at]});
        admin_[*at] = std::move(entry);
    } else {
        undo_.push_back({true, key, std::nullopt});
        admin_.insert(admin_.begin() + static_cast<ptrdiff_t>(lowerBound(admin_, key)),
                      std::move(entry));
    }
    indexChanged_ = true;
}

void TRecordFile::Add(const Bytes &block, const std::string &keyIn) {
    RequireFile();
    if (readOnly_) {
        warnReadOnly();
        return;
    }
    std::string key = keyIn.substr(0, kMaxKeyLength);
    if (key.find('\0') != std::string::npos) {
        // The index stores keys zero-terminated: such a key could never be read back.
        throw ERecBadKey("A key cannot contain a zero byte");
    }
    if (find(keys_, key)) {
        throw ERecIndexError(kMsgDuplicateKey);
    }
    uint32_t flags = 0;
    Bytes stored = prepareBlock(block, flags);
    appendJournal(JournalOp::Add, key, flags, stored);
    applyAdd(key, stored, flags);
    setCurrent(static_cast<int>(lowerBound(keys_, key)));
    cachePut(key, block);
    if (OnAdded) {
        OnAdded(*this);
    }
    if (OnNavigate) {
        OnNavigate(*this);
    }
}

void TRecordFile::Get(Bytes &out) {
    RequireFile();
    out.clear();
    if (keys_.empty()) {
        warnNoData();
        return;
    }
    const TIndexEntry &entry = keys_[static_cast<size_t>(current_)];
    ++accesses_;
    auto it = cache_.find(entry.key);
    if (it != cache_.end()) {
        ++hits_;
        it->second.stamp = ++cacheStamp_;
        out = it->second.bytes;
        return;
    }
    out = readBlock(entry);
    cachePut(entry.key, out);
}

void TRecordFile::Change(const Bytes &block) {
    RequireFile();
    if (keys_.empty()) {
        warnNoData();
        return;
    }
    if (readOnly_) {
        warnReadOnly();
        return;
    }
    auto index = static_cast<size_t>(current_);
    std::string key = keys_[index].key;
    cacheDrop(key);
    uint32_t flags = 0;
    Bytes stored = prepareBlock(block, flags);
    appendJournal(JournalOp::Change, key, flags, stored);
    applyChange(index, stored, flags);
    cachePut(key, block);
    if (OnChanged) {
        OnChanged(*this);
    }
}

void TRecordFile::DeleteCurrent() {
    RequireFile();
    if (readOnly_) {
        warnReadOnly();
        return;
    }
    if (keys_.empty()) {
        warnNoData();
        return;
    }
    if (!AutoEditOn()) {
        editMode_ = false;
    }
    insertMode_ = false;
    auto index = static_cast<size_t>(current_);
    appendJournal(JournalOp::Delete, keys_[index].key, 0, {});
    applyDelete(index);
    setCurrent(current_ > 0 ? current_ - 1 : 0);
    if (OnDeleted) {
        OnDeleted(*this);
    }
}

// ---- navigation --------------------------------------------------------------------------

void TRecordFile::setCurrent(int index) {
    current_ = keys_.empty() ? 0 : std::clamp(index, 0, Count() - 1);
    currentKey_ = keys_.empty() ? std::string() : keys_[static_cast<size_t>(current_)].key;
    updateFlags();
}

void TRecordFile::updateFlags() {
    int n = Count();
    bof_ = n > 0 && current_ == 0;
    eof_ = n > 0 && current_ == n - 1;
    if (!filter_.empty() && aggressiveUpdate_ && n > 0) {
        bof_ = nextMatch(current_ - 1, -1) < 0;
        eof_ = nextMatch(current_ + 1, +1) < 0;
    }
}

int TRecordFile::nextMatch(int from, int step) const {
    for (int i = from; i >= 0 && i < Count(); i += step) {
        if (MatchesFilter(keys_[static_cast<size_t>(i)].key)) {
            return i;
        }
    }
    return -1;
}

void TRecordFile::GoTo(int index) {
    RequireFile();
    if (keys_.empty()) {
        warnNoData();
        return;
    }
    if (index < 0 || index >= Count()) {
        warnOutOfBounds();
        return;
    }
    setCurrent(index);
    if (OnNavigate) {
        OnNavigate(*this);
    }
}

void TRecordFile::First() {
    RequireFile();
    if (filter_.empty() || keys_.empty()) {
        GoTo(0);
        return;
    }
    int m = nextMatch(0, +1);
    if (m < 0) {
        bof_ = eof_ = true;
        return;
    }
    GoTo(m);
    bof_ = true;
}

void TRecordFile::Last() {
    RequireFile();
    if (filter_.empty() || keys_.empty()) {
        GoTo(Count() - 1);
        return;
    }
    int m = nextMatch(Count() - 1, -1);
    if (m < 0) {
        bof_ = eof_ = true;
        return;
    }
    GoTo(m);
    eof_ = true;
}

void TRecordFile::Next() {
    RequireFile();
    if (keys_.empty()) {
        warnNoData();
        return;
    }
    int target = filter_.empty() ? (current_ + 1 < Count() ? current_ + 1 : -1)
                                 : nextMatch(current_ + 1, +1);
    if (target < 0) {
        eof_ = true;
        return;
    }
    GoTo(target);
}

void TRecordFile::Prior() {
    RequireFile();
    if (keys_.empty()) {
        warnNoData();
        return;
    }
    int target = filter_.empty() ? (current_ > 0 ? current_ - 1 : -1) : nextMatch(current_ - 1, -1);
    if (target < 0) {
        bof_ = true;
        return;
    }
    GoTo(target);
}

bool TRecordFile::FindKey(const std::string &key) {
    RequireFile();
    auto at = find(keys_, key.substr(0, kMaxKeyLength));
    if (!at) {
        return false;
    }
    setCurrent(static_cast<int>(*at));
    if (OnFound) {
        OnFound(*this);
    }
    return true;
}

// ---- dataset-style steps -----------------------------------------------------------------

namespace {

// Runs one step between its before and after events.
template <class Event, class Step>
void withEvents(TRecordFile &file, const Event &before, Step step, const Event &after) {
    if (before) {
        before(file);
    }
    step();
    if (after) {
        after(file);
    }
}

} // namespace

void TRecordFile::Insert() {
    withEvents(
        *this, BeforeInsert, [this] { InsertStep(); }, AfterInsert);
}

void TRecordFile::Post() {
    withEvents(
        *this, BeforePost, [this] { PostStep(); }, AfterPost);
}

void TRecordFile::Delete() {
    withEvents(
        *this, BeforeDelete, [this] { DeleteStep(); }, AfterDelete);
}

void TRecordFile::InsertStep() {
    SetModes(true, false);
}
void TRecordFile::PostStep() {
    SetModes(false, false);
}
void TRecordFile::DeleteStep() {
    DeleteCurrent();
}
void TRecordFile::Edit() {
    SetModes(false, true);
}
void TRecordFile::Cancel() {
    SetModes(false, false);
}

// ---- administrative items ----------------------------------------------------------------

bool TRecordFile::AdminExists(const std::string &key) const {
    return open_ && find(admin_, key).has_value();
}

Bytes TRecordFile::ReadAdmin(const std::string &key) {
    RequireFile();
    auto at = find(admin_, key);
    if (!at) {
        throw ERecBadKey(FormatMessage(kMsgBadKey, key));
    }
    return readBlock(admin_[*at]);
}

std::string TRecordFile::ReadAdminString(const std::string &key) {
    Bytes b = ReadAdmin(key);
    auto zero = std::find(b.begin(), b.end(), 0);
    return {b.begin(), zero};
}

bool TRecordFile::ReadAdminBool(const std::string &key) {
    Bytes b = ReadAdmin(key);
    return b.size() == 1 && b[0] == 1;
}

void TRecordFile::WriteAdminString(const std::string &key, const std::string &value) {
    Bytes b(value.begin(), value.end());
    b.push_back(0);
    WriteAdmin(key, b);
}

void TRecordFile::WriteAdmin(const std::string &keyIn, const Bytes &block) {
    RequireFile();
    if (readOnly_) {
        warnReadOnly();
        return;
    }
    std::string key = keyIn.substr(0, kMaxKeyLength);
    if (key.find('\0') != std::string::npos) {
        throw ERecBadKey("A key cannot contain a zero byte");
    }
    appendJournal(JournalOp::Admin, key, kFlagAdmin, block);
    applyAdmin(key, block);
}

std::vector<std::string> TRecordFile::ListAdmin(const std::string &prefix) const {
    std::vector<std::string> out;
    for (const auto &e : admin_) {
        if (e.key.size() >= prefix.size() &&
            CompareKeys(e.key.substr(0, prefix.size()), prefix) == 0) {
            out.push_back(e.key);
        }
    }
    return out;
}

// ---- cache -------------------------------------------------------------------------------

void TRecordFile::cachePut(const std::string &key, const Bytes &bytes) {
    if (bytes.size() >= cacheSize_) {
        return;
    }
    cacheDrop(key);
    try {
        while (cacheTotal_ + bytes.size() > cacheSize_ && !cache_.empty()) {
            auto oldest = std::min_element(cache_.begin(), cache_.end(), [](auto &a, auto &b) {
                return a.second.stamp < b.second.stamp;
            });
            cacheTotal_ -= oldest->second.bytes.size();
            cache_.erase(oldest);
        }
        cache_[key] = CacheItem{bytes, ++cacheStamp_};
        cacheTotal_ += bytes.size();
    } catch (const std::bad_alloc &) {
        // Not cached; the next Get reads the file.
    }
}

void TRecordFile::cacheDrop(const std::string &key) {
    auto it = cache_.find(key);
    if (it != cache_.end()) {
        cacheTotal_ -= it->second.bytes.size();
        cache_.erase(it);
    }
}

} // namespace quillon::records
