// Opening, recovery, the journal, FlushIndex and Close of TRecordFile.
//
// Journal layout ("<container>.qjl", little-endian): a 40-byte header ("QJL1", then the
// device, inode, size and modification time in nanoseconds of the container version the
// journal applies to, 8 bytes each, then the CRC-32 of those 36 bytes), then records of
// length (4), CRC-32 of the body (4) and body: operation (1), key length (1), key, flags
// (4), block. A torn or damaged record ends the journal. A Fold record names the container
// version that replaced the base: when that version is on disk the journal is spent.

#include <algorithm>
#include <cstring>
#include <filesystem>

#include <fcntl.h>

#include "records/compression.h"
#include "records/record_file.h"

namespace quillon::records {

namespace {

constexpr uint8_t kMagic[4] = {'Q', 'D', 'B', 0};
constexpr uint8_t kPasswordMagic[4] = {'Q', 'P', 'W', 0};
constexpr uint8_t kIndexMagic[4] = {'Q', 'I', 'X', 0};
constexpr uint8_t kJournalMagic[4] = {'Q', 'J', 'L', '1'};
constexpr size_t kJournalHeader = 40;
constexpr size_t kMinEntrySize = 13;
constexpr size_t kJournalChunk = 64 * 1024;
constexpr const char *kCaseSensitiveKey = "QDBCaseSensitive";

void put32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}
void put64(Bytes &b, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}
uint32_t get32(const uint8_t *p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
uint64_t get64(const uint8_t *p) {
    return uint64_t{get32(p)} | (uint64_t{get32(p + 4)} << 32);
}

void putIdentity(Bytes &b, const detail::FileIdentity &id) {
    put64(b, id.dev);
    put64(b, id.ino);
    put64(b, id.size);
    put64(b, static_cast<uint64_t>(id.mtimeNs));
}
detail::FileIdentity getIdentity(const uint8_t *p) {
    detail::FileIdentity id;
    id.exists = true;
    id.dev = get64(p);
    id.ino = get64(p + 8);
    id.size = get64(p + 16);
    id.mtimeNs = static_cast<int64_t>(get64(p + 24));
    return id;
}

} // namespace

void TRecordFile::raiseFile(int code, const std::string &name) const {
    throw ERecFileError(FileErrorMessage(code, name, "Unable to extend the file %s"), code);
}

void TRecordFile::discardState() {
    open_ = false;
    keys_.clear();
    admin_.clear();
    undo_.clear();
    cache_.clear();
    cacheTotal_ = 0;
    data_.close();
    dataSize_ = 0;
    journal_.close();
    journalSize_ = 0;
    current_ = 0;
    currentKey_.clear();
    bof_ = eof_ = false;
    insertMode_ = editMode_ = false;
    indexChanged_ = false;
    cipherKey_.reset();
}

void TRecordFile::createEmptyContainer() {
    Bytes empty(kMagic, kMagic + 4);
    put32(empty, 0);
    empty.insert(empty.end(), kIndexMagic, kIndexMagic + 4);
    put32(empty, 5);
    put32(empty, 0);
    empty.push_back(0);
    int rc = detail::WriteFileDurably(fileName_, empty);
    if (rc != 0) {
        raiseFile(rc, fileName_);
    }
}

void TRecordFile::open() {
    bool journalExisted = std::filesystem::exists(JournalName());
    try {
        openFile();
    } catch (...) {
        // A failed open leaves nothing behind: not the journal this open created.
        if (!journalExisted && journal_.isOpen()) {
            uint64_t size = 0;
            if (journal_.size(size) == 0 && size == 0) {
                (void)detail::RemoveFile(JournalName());
            }
        }
        throw;
    }
}

void TRecordFile::openFile() {
    recovered_ = 0;
    detail::FileIdentity id = detail::Identify(fileName_);
    if (id.exists && id.kind != detail::FileKind::Regular) {
        // Opening a FIFO would wait for a writer, and a folder or a device is not missing:
        // say what the name really is.
        static constexpr const char *kWhat[] = {"a file", "a folder", "a device", "a FIFO",
                                                "a special file"};
        throw ERecFileError(FormatMessage(kMsgNotAFile, fileName_) + " but " +
                            kWhat[static_cast<int>(id.kind)]);
    }
    if (!id.exists) {
        if (readOnly_) {
            raiseFile(-2, fileName_);
        }
        openJournal();
        createEmptyContainer();
        id = detail::Identify(fileName_);
    }
    if (id.readOnlyAttr) {
        readOnly_ = true;
    }
    if (!readOnly_ && !journal_.isOpen()) {
        openJournal();
        id = detail::Identify(fileName_); // a writer that held the lock may have folded
    }
    if (!readOnly_) {
        // A rebuild that a crashed process left unfinished: the container was not replaced.
        (void)detail::RemoveFile(fileName_ + ".qdd");
    }
    loadContainer(id);
    open_ = true;

    // Replay what the journal holds: changes of a process that ended without Close.
    bool changed = false;
    if (journal_.isOpen()) {
        changed = replayJournal(journal_, id);
    } else {
        detail::PosixFile j;
        if (j.open(JournalName(), O_RDONLY) == 0) {
            changed = replayJournal(j, id);
        }
    }
    openedAs_ = id;
    if (!readOnly_) {
        if (changed) {
            // Fold the recovered changes into the container now, so that the journal
            // never grows across crashes.
            foldInto(fileName_, true);
        }
        resetJournal(openedAs_);
    }
    undo_.clear();
    indexChanged_ = false;
    setCurrent(0);
}

void TRecordFile::openJournal() {
    int rc = journal_.open(JournalName(), O_RDWR | O_CREAT, 0644);
    if (rc == 0) {
        rc = journal_.lockExclusive();
    }
    if (rc != 0) {
        journal_.close();
        raiseFile(rc, fileName_);
    }
}

void TRecordFile::loadContainer(const detail::FileIdentity &id) {
    detail::PosixFile in;
    int rc = in.open(fileName_, O_RDONLY);
    if (rc != 0) {
        raiseFile(rc, fileName_);
    }
    const uint64_t fileSize = id.size;
    auto notValid = [this]() { throw ERecFileError(FormatMessage(kMsgNotValid, fileName_)); };
    uint8_t head[4];
    if (fileSize < 4 || in.readAt(0, head, 4) != 0 || std::memcmp(head, kMagic, 4) != 0) {
        notValid();
    }
    uint64_t pos = 4;
    // Sections are enciphered only when the file carries the password block; a password
    // given for a file without one protects the file written at Close.
    std::optional<Sha1Digest> sectionKey;
    if (fileSize >= 8 && in.readAt(4, head, 4) == 0 && std::memcmp(head, kPasswordMagic, 4) == 0) {
        Sha1Digest check{};
        if (fileSize < 28 || in.readAt(8, check.data(), check.size()) != 0) {
            notValid();
        }
        pos = 28;
        if (password_.empty() && OnDemandPassword) {
            OnDemandPassword(*this, password_);
        }
        Sha1Digest key = PasswordKey(password_);
        if (PasswordCheck(key) != check) {
            throw ERecInvalidPW(kMsgInvalidPassword);
        }
        sectionKey = key;
    }
    if (!password_.empty()) {
        cipherKey_ = PasswordKey(password_);
    }

    auto readLength = [&](uint32_t &out) {
        uint8_t b[4];
        if (pos + 4 > fileSize || in.readAt(pos, b, 4) != 0) {
            notValid();
        }
        out = get32(b);
        pos += 4;
    };
    // Copies one section in chunks, undoing the password transform chunk by chunk.
    auto copySection = [&](uint32_t length, auto &&sink) {
        if (pos + length > fileSize) {
            notValid();
        }
        size_t chunk = SectionChunkSize(length);
        Bytes buf(std::min<size_t>(chunk, length));
        for (uint64_t done = 0; done < length;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, length - done));
            if (in.readAt(pos + done, buf.data(), n) != 0) {
                notValid();
            }
            if (sectionKey) {
                TransformChunk(*sectionKey, buf.data(), n);
            }
            sink(buf.data(), n, done);
            done += n;
        }
        pos += length;
    };

    uint32_t dataLength = 0;
    readLength(dataLength);
    if (pos + uint64_t{dataLength} + 8 > fileSize) {
        notValid();
    }
    rc = data_.openAnonymous(detail::TempDirectory());
    if (rc != 0) {
        throw ERecIndexError(kMsgNoTempFile);
    }
    copySection(dataLength, [&](const uint8_t *p, size_t n, uint64_t at) {
        if (data_.writeAt(at, p, n) != 0) {
            throw ERecIndexError(kMsgNoTempFile);
        }
    });
    dataSize_ = dataLength;

    if (in.readAt(pos, head, 4) != 0 || std::memcmp(head, kIndexMagic, 4) != 0) {
        notValid();
    }
    pos += 4;
    uint32_t indexLength = 0;
    readLength(indexLength);
    Bytes index;
    index.reserve(indexLength <= fileSize ? indexLength : 0);
    copySection(indexLength,
                [&](const uint8_t *p, size_t n, uint64_t) { index.insert(index.end(), p, p + n); });
    parseIndex(index);
}

void TRecordFile::parseIndex(const Bytes &index) {
    auto notValid = [this]() { throw ERecIndexError(FormatMessage(kMsgNotValid, fileName_)); };
    if (index.size() < 4) {
        notValid();
    }
    uint32_t count = get32(index.data());
    if (count > (index.size() - 4) / kMinEntrySize) {
        notValid();
    }
    caseSensitive_ = false;
    indexDamage_.clear();
    keys_.clear();
    admin_.clear();
    keys_.reserve(count);
    // Damage that would lose an entry if the list were written back: the first one found
    // is named; a reader keeps every entry, a writer refuses the file.
    std::string damage;
    auto noteDamage = [&damage](const std::string &what) {
        if (damage.empty()) {
            damage = what;
        }
    };
    size_t pos = 4;
    uint32_t step = count / 10 + 1;
    for (uint32_t i = 1; i <= count; ++i) {
        const uint8_t *start = index.data() + pos;
        size_t room = index.size() - pos;
        const void *zero = std::memchr(start, 0, std::min<size_t>(room, kMaxKeyLength + 1));
        if (zero == nullptr) {
            notValid();
        }
        size_t keyLength = static_cast<const uint8_t *>(zero) - start;
        if (room < keyLength + 1 + 12) {
            notValid();
        }
        TIndexEntry e;
        e.key.assign(reinterpret_cast<const char *>(start), keyLength);
        e.offset = get32(start + keyLength + 1);
        e.size = get32(start + keyLength + 5);
        e.flags = get32(start + keyLength + 9);
        pos += keyLength + 13;
        if (uint64_t{e.offset} + e.size > dataSize_) {
            notValid();
        }
        if ((e.flags & ~(kFlagAdmin | kFlagCompressed)) != 0) {
            noteDamage("the entry '" + e.key + "' has unknown flags " + std::to_string(e.flags));
        }
        if ((e.flags & kFlagAdmin) != 0) {
            admin_.push_back(std::move(e));
        } else {
            keys_.push_back(std::move(e));
        }
        if (i % step == 0) {
            progress(static_cast<int>(i * 10 / step), 0);
        }
    }
    progress(0, 0);
    // The file stores both lists in descending order.
    std::reverse(keys_.begin(), keys_.end());
    std::reverse(admin_.begin(), admin_.end());

    auto less = [this](const TIndexEntry &a, const TIndexEntry &b) {
        return CompareKeys(a.key, b.key) < 0;
    };
    auto same = [this](const TIndexEntry &a, const TIndexEntry &b) {
        return CompareKeys(a.key, b.key) == 0;
    };
    // Lookups are binary searches: a list that another writer left out of order is sorted
    // (n log n, whatever the order on disk) rather than trusted.
    auto order = [&](std::vector<TIndexEntry> &list) {
        if (!std::is_sorted(list.begin(), list.end(), less)) {
            std::stable_sort(list.begin(), list.end(), less);
        }
        auto twice = std::adjacent_find(list.begin(), list.end(), same);
        if (twice != list.end()) {
            noteDamage("the key '" + twice->key + "' is there twice");
        }
    };
    order(admin_);
    if (auto at = find(admin_, kCaseSensitiveKey)) {
        Bytes flag = readBlock(admin_[*at]);
        caseSensitive_ = flag.size() == 1 && flag[0] == 1;
    }
    if (caseSensitive_) {
        order(admin_);
    }
    order(keys_);
    if (!damage.empty()) {
        indexDamage_ = FormatMessage(kMsgIndexDamaged, fileName_) + ": " + damage;
        if (!readOnly_) {
            throw ERecIndexError(indexDamage_);
        }
    }
}

bool TRecordFile::replayJournal(const detail::PosixFile &j, const detail::FileIdentity &id) {
    uint64_t size = 0;
    uint8_t header[kJournalHeader];
    if (j.size(size) != 0 || size < kJournalHeader || j.readAt(0, header, kJournalHeader) != 0 ||
        std::memcmp(header, kJournalMagic, 4) != 0 ||
        detail::Crc32(header, 36) != get32(header + 36)) {
        return false;
    }
    detail::FileIdentity base = getIdentity(header + 4);
    // The first pass checks each record's CRC in chunks and keeps only where its block is;
    // the second reads one block at a time. Memory stays bounded by the largest record a
    // writer made, however large (or sparse) the journal is.
    struct Op {
        JournalOp op;
        std::string key;
        uint32_t flags;
        bool enciphered;
        uint64_t blockAt;
        size_t blockSize;
    };
    std::vector<Op> ops;
    std::optional<detail::FileIdentity> foldedTo;
    Bytes chunk(std::min<uint64_t>(kJournalChunk, size));
    uint64_t pos = kJournalHeader;
    while (size - pos >= 8 + 6) {
        uint8_t head[8 + 2 + kMaxKeyLength + 4];
        if (j.readAt(pos, head, 8 + 2) != 0) {
            break;
        }
        uint32_t length = get32(head);
        uint32_t crc = get32(head + 4);
        size_t keyLength = head[9];
        if (length < 6 || length > size - pos - 8 || 2 + keyLength + 4 > length ||
            j.readAt(pos + 10, head + 10, keyLength + 4) != 0) {
            break;
        }
        uint32_t sum = 0;
        bool readable = true;
        for (uint64_t done = 0; done < length && readable;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), length - done));
            readable = j.readAt(pos + 8 + done, chunk.data(), n) == 0;
            sum = detail::Crc32(chunk.data(), n, sum);
            done += n;
        }
        if (!readable || sum != crc) {
            break; // a torn or damaged record ends the journal
        }
        const uint8_t *body = head + 8;
        Op op{static_cast<JournalOp>(body[0] & 0x7F),
              std::string(reinterpret_cast<const char *>(body + 2), keyLength),
              get32(body + 2 + keyLength),
              (body[0] & 0x80) != 0,
              pos + 8 + 6 + keyLength,
              length - 6 - keyLength};
        pos += 8 + uint64_t{length};
        if (op.enciphered && !cipherKey_) {
            throw ERecInvalidPW(kMsgInvalidPassword);
        }
        if (op.op == JournalOp::Fold) {
            Bytes block(op.blockSize == 32 ? 32 : 0);
            if (!block.empty() && j.readAt(op.blockAt, block.data(), 32) == 0) {
                foldedTo = getIdentity(block.data());
            }
            continue;
        }
        ops.push_back(std::move(op));
    }
    if (!(base == id) && foldedTo && *foldedTo == id) {
        return false; // the rebuilt container was already in place when the process ended
    }
    // Either the journal's own base, or a container that another program wrote since: the
    // journal is logical (keys and blocks), so it applies to either.
    for (const Op &op : ops) {
        Bytes block;
        if (op.op == JournalOp::Add || op.op == JournalOp::Change || op.op == JournalOp::Admin) {
            block.resize(op.blockSize);
            if (j.readAt(op.blockAt, block.data(), block.size()) != 0) {
                break; // the journal changed under us: keep what was applied
            }
            if (op.enciphered) {
                TransformChunk(*cipherKey_, block.data(), block.size());
            }
        }
        switch (op.op) {
        case JournalOp::Add:
            applyAdd(op.key, block, op.flags & kFlagCompressed);
            break;
        case JournalOp::Change:
            if (auto at = find(keys_, op.key)) {
                applyChange(*at, block, op.flags & kFlagCompressed);
            } else {
                applyAdd(op.key, block, op.flags & kFlagCompressed);
            }
            break;
        case JournalOp::Delete:
            if (auto at = find(keys_, op.key)) {
                applyDelete(*at);
            }
            break;
        case JournalOp::Admin:
            applyAdmin(op.key, block);
            break;
        default:
            continue;
        }
        ++recovered_;
    }
    return recovered_ > 0;
}

void TRecordFile::resetJournal(const detail::FileIdentity &id) {
    Bytes header(kJournalMagic, kJournalMagic + 4);
    putIdentity(header, id);
    put32(header, detail::Crc32(header.data(), 36));
    int rc = journal_.truncate(0);
    if (rc == 0) {
        rc = journal_.writeAt(0, header.data(), header.size());
    }
    if (rc == 0) {
        rc = journal_.syncData();
    }
    if (rc == 0) {
        rc = detail::SyncDirectory(detail::DirectoryOf(JournalName()));
    }
    if (rc != 0) {
        raiseFile(rc, JournalName());
    }
    journalSize_ = header.size();
}

void TRecordFile::appendJournal(JournalOp op, const std::string &key, uint32_t flags,
                                const Bytes &block) {
    if (!journal_.isOpen()) {
        return;
    }
    Bytes body;
    body.reserve(6 + key.size() + block.size());
    // With a password the journal holds the blocks enciphered like the container.
    bool encipher = cipherKey_.has_value() && op != JournalOp::Fold;
    body.push_back(static_cast<uint8_t>(static_cast<uint8_t>(op) | (encipher ? 0x80 : 0)));
    body.push_back(static_cast<uint8_t>(key.size()));
    body.insert(body.end(), key.begin(), key.end());
    put32(body, flags);
    size_t blockAt = body.size();
    body.insert(body.end(), block.begin(), block.end());
    if (encipher) {
        TransformChunk(*cipherKey_, body.data() + blockAt, block.size());
    }
    Bytes record;
    record.reserve(8 + body.size());
    put32(record, static_cast<uint32_t>(body.size()));
    put32(record, detail::Crc32(body.data(), body.size()));
    record.insert(record.end(), body.begin(), body.end());
    int rc = journal_.writeAt(journalSize_, record.data(), record.size());
    if (rc == 0) {
        rc = journal_.syncData();
    }
    if (rc != 0) {
        (void)journal_.truncate(journalSize_);
        raiseFile(rc == -101 ? -101 : -1, fileName_);
    }
    journalSize_ += record.size();
}

Bytes TRecordFile::buildIndex(int phase) {
    Bytes out;
    put32(out, static_cast<uint32_t>(admin_.size() + keys_.size()));
    auto putEntry = [&out](const TIndexEntry &e) {
        out.insert(out.end(), e.key.begin(), e.key.end());
        out.push_back(0);
        put32(out, e.offset);
        put32(out, e.size);
        put32(out, e.flags);
    };
    for (auto it = admin_.rbegin(); it != admin_.rend(); ++it) {
        putEntry(*it);
    }
    size_t n = keys_.size();
    size_t step = n / 10 + 1;
    for (size_t i = 0; i < n; ++i) {
        putEntry(keys_[n - 1 - i]);
        if (i % step == 0) {
            progress(static_cast<int>(i * 10 / step), phase);
        }
    }
    progress(0, phase);
    out.push_back(0);
    return out;
}

void TRecordFile::FlushIndex() {
    RequireFile();
    if (readOnly_ || !indexChanged_) {
        return;
    }
    // Every change is already in the synced journal; what FlushIndex adds is the point
    // that Close without SaveOnClose goes back to.
    size_t n = keys_.size();
    size_t step = n / 10 + 1;
    for (size_t i = 0; i < n; i += step) {
        progress(static_cast<int>(i * 10 / step), 2);
    }
    progress(0, 2);
    undo_.clear();
    indexChanged_ = false;
}

void TRecordFile::foldInto(const std::string &target, bool isContainer) {
    Bytes index = buildIndex(1);
    std::string tmp = target + ".qdd";
    detail::PosixFile out;
    int rc = out.open(tmp, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (rc != 0) {
        raiseFile(rc, tmp);
    }
    uint64_t pos = 0;
    auto write = [&](const uint8_t *p, size_t n) {
        if (rc == 0) {
            rc = out.writeAt(pos, p, n);
            pos += n;
        }
    };
    auto writeSection = [&](uint64_t length, auto &&source) {
        Bytes len;
        put32(len, static_cast<uint32_t>(length));
        write(len.data(), 4);
        size_t chunk = SectionChunkSize(length);
        Bytes buf(std::min<uint64_t>(chunk, length));
        for (uint64_t done = 0; done < length && rc == 0;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, length - done));
            source(buf.data(), n, done);
            if (cipherKey_) {
                TransformChunk(*cipherKey_, buf.data(), n);
            }
            write(buf.data(), n);
            done += n;
        }
    };
    write(kMagic, 4);
    if (cipherKey_) {
        write(kPasswordMagic, 4);
        Sha1Digest check = PasswordCheck(*cipherKey_);
        write(check.data(), check.size());
    }
    writeSection(dataSize_, [&](uint8_t *p, size_t n, uint64_t at) {
        if (rc == 0) {
            rc = data_.readAt(at, p, n);
        }
    });
    write(kIndexMagic, 4);
    writeSection(index.size(),
                 [&](uint8_t *p, size_t n, uint64_t at) { std::memcpy(p, index.data() + at, n); });
    if (rc == 0) {
        rc = out.syncAll();
    }
    detail::FileIdentity written = detail::IdentifyFd(out.fd());
    out.close();
    if (rc != 0) {
        (void)detail::RemoveFile(tmp);
        raiseFile(rc == -101 ? -101 : -1, target);
    }
    if (isContainer) {
        // Tell a later recovery that this version supersedes the journal's base.
        Bytes identity;
        putIdentity(identity, written);
        appendJournal(JournalOp::Fold, {}, 0, identity);
    }
    rc = detail::RenameFile(tmp, target);
    if (rc == 0) {
        rc = detail::SyncDirectory(detail::DirectoryOf(target));
    }
    if (rc != 0) {
        (void)detail::RemoveFile(tmp);
        raiseFile(rc, target);
    }
    if (isContainer) {
        openedAs_ = written;
    }
}

void TRecordFile::Close() {
    if (!open_) {
        return;
    }
    try {
        if (!readOnly_) {
            if (!saveOnClose_) {
                // Back to the index of the open or of the last FlushIndex.
                for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
                    auto &list = it->admin ? admin_ : keys_;
                    auto at = find(list, it->key);
                    if (it->old) {
                        if (at) {
                            list[*at] = *it->old;
                        } else {
                            list.insert(list.begin() +
                                            static_cast<ptrdiff_t>(lowerBound(list, it->key)),
                                        *it->old);
                        }
                    } else if (at) {
                        list.erase(list.begin() + static_cast<ptrdiff_t>(*at));
                    }
                }
            }
            cache_.clear();
            cacheTotal_ = 0;
            std::string target = fileName_;
            detail::FileIdentity now = detail::Identify(fileName_);
            if (now.exists && !(now == openedAs_)) {
                bool confirm = false;
                if (BeforeOverWrite) {
                    BeforeOverWrite(*this, confirm);
                }
                if (!confirm) {
                    std::filesystem::path p(target);
                    do {
                        p = p.parent_path() / ("1." + p.filename().string());
                    } while (std::filesystem::exists(p));
                    target = p.string();
                }
            }
            foldInto(target, target == fileName_);
            (void)detail::RemoveFile(JournalName());
            (void)detail::SyncDirectory(detail::DirectoryOf(JournalName()));
        }
    } catch (...) {
        // The journal stays: the next open replays it.
        discardState();
        password_.clear();
        throw;
    }
    discardState();
    password_.clear();
}

} // namespace quillon::records
