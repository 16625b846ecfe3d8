#pragma once

// TRecordFile: a single-file keyed store. Every item is an opaque byte block filed under a
// unique key (at most 255 characters), kept in key order, with a current position for
// browsing. The container ("QDB" magic, optional password block, data section, "QIX",
// index section) is rebuilt when the file is closed; while it is open the data section
// lives in an unnamed working file and the index in memory.
//
// Durability: every change (add, change, delete, administrative write) is appended to a
// journal beside the container ("<file>.qjl") and synced before the call returns. The
// journal names the container version it applies to. Opening a file whose journal holds
// changes replays them and folds them into the container at once; Close folds them too.
// The container is only ever replaced by rename of a synced temporary file in the same
// folder, so it is always either the old or the new complete version. The journal also
// carries an exclusive lock: a second writer gets "seems to be in use by another program".
//
// Runs on the thread that owns it (the user-interface thread); loading, Close and
// FlushIndex pump that thread's event loop, so handlers must expect re-entry there.
// Errors are the ERecError family of record_errors.h.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <unordered_map>
#include <vector>

#include "records/file_io_p.h"
#include "records/password.h"
#include "records/record_errors.h"

namespace quillon::records {

inline constexpr uint32_t kFlagAdmin = 1;
inline constexpr uint32_t kFlagCompressed = 2;
inline constexpr size_t kMaxKeyLength = 255;

struct TIndexEntry {
    std::string key;
    uint32_t offset = 0;
    uint32_t size = 0;
    uint32_t flags = 0;
};

using Bytes = std::vector<uint8_t>;

class TRecordFile {
  public:
    using TNotifyEvent = std::function<void(TRecordFile &)>;
    using TOverWriteEvent = std::function<void(TRecordFile &, bool &confirm)>;
    using TPasswordEvent = std::function<void(TRecordFile &, std::string &password)>;
    using TProgressEvent = std::function<void(TRecordFile &, int position, int phase)>;

    TRecordFile();
    virtual ~TRecordFile();
    TRecordFile(const TRecordFile &) = delete;
    TRecordFile &operator=(const TRecordFile &) = delete;

    // Properties.
    [[nodiscard]] const std::string &FileName() const { return fileName_; }
    virtual void SetFileName(const std::string &name);
    [[nodiscard]] bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool on) { readOnly_ = on; }
    [[nodiscard]] bool SaveOnClose() const { return saveOnClose_; }
    void SetSaveOnClose(bool on) { saveOnClose_ = on; }
    [[nodiscard]] bool ExpandedFileNames() const { return expandedFileNames_; }
    void SetExpandedFileNames(bool on) { expandedFileNames_ = on; }
    [[nodiscard]] bool Compression() const { return compression_; }
    void SetCompression(bool on) { compression_ = on; }
    [[nodiscard]] uint32_t CacheSize() const { return cacheSize_; }
    void SetCacheSize(uint32_t bytes);
    // The cache hit rate in percent; assignments are ignored.
    [[nodiscard]] int CacheFrequency() const;
    void SetCacheFrequency(int) {}
    [[nodiscard]] bool AggressiveUpdate() const { return aggressiveUpdate_; }
    void SetAggressiveUpdate(bool on) { aggressiveUpdate_ = on; }
    [[nodiscard]] const std::string &Filter() const { return filter_; }
    // Raises ERecError when the grep pattern does not compile.
    void SetFilter(const std::string &pattern);
    [[nodiscard]] bool UseGrepMatch() const { return useGrepMatch_; }
    void SetUseGrepMatch(bool on);
    // The password used at the next open (and for the container written at Close).
    void SetPassword(const std::string &password) { password_ = password; }

    TNotifyEvent BeforeInsert, AfterInsert, BeforePost, AfterPost, BeforeDelete, AfterDelete;
    TOverWriteEvent BeforeOverWrite;
    TNotifyEvent OnAdded, OnChanged, OnDeleted, OnFileAssigned, OnFound, OnNavigate;
    TPasswordEvent OnDemandPassword;
    TProgressEvent ProgressUpdate;
    TNotifyEvent WarnNoData, WarnOutOfBounds, WarnReadOnly;

    // State.
    [[nodiscard]] bool IsOpen() const { return open_; }
    [[nodiscard]] int ItemIndex() const { return current_; }
    [[nodiscard]] const std::string &CurrentKey() const { return currentKey_; }
    [[nodiscard]] int Count() const { return static_cast<int>(keys_.size()); }
    [[nodiscard]] bool Bof() const { return bof_; }
    [[nodiscard]] bool Eof() const { return eof_; }
    [[nodiscard]] bool InsertMode() const { return insertMode_; }
    [[nodiscard]] bool EditMode() const { return editMode_; }
    [[nodiscard]] bool CaseSensitive() const { return caseSensitive_; }

    // Item operations on the current position.
    void Add(const Bytes &block, const std::string &key);
    void Get(Bytes &out);
    void Change(const Bytes &block);
    // Removes the current item (the plain step; Delete() wraps it in its events).
    void DeleteCurrent();

    // Navigation. The record view adds its field loading.
    void GoTo(int index);
    virtual void First();
    virtual void Last();
    virtual void Next();
    virtual void Prior();
    virtual void Refresh() {}
    bool FindKey(const std::string &key);

    // Dataset-style operations: Insert, Post and Delete raise their Before and After events
    // around the step that a descendant may override.
    void Insert();
    void Post();
    void Delete();
    virtual void Edit();
    virtual void Cancel();

    // Administrative items (metadata under their own keys).
    [[nodiscard]] bool AdminExists(const std::string &key) const;
    [[nodiscard]] Bytes ReadAdmin(const std::string &key);
    [[nodiscard]] std::string ReadAdminString(const std::string &key);
    [[nodiscard]] bool ReadAdminBool(const std::string &key);
    void WriteAdminString(const std::string &key, const std::string &value);
    void WriteAdmin(const std::string &key, const Bytes &block);
    [[nodiscard]] std::vector<std::string> ListAdmin(const std::string &prefix) const;

    void FlushIndex();
    void Close();

    // Inspection: the ordinary entries in key order and the administrative ones.
    [[nodiscard]] const std::vector<TIndexEntry> &Entries() const { return keys_; }
    [[nodiscard]] const std::vector<TIndexEntry> &AdminEntries() const { return admin_; }
    [[nodiscard]] uint64_t DataSize() const { return dataSize_; }
    // How many journalled changes the last open replayed (0 after a clean close).
    [[nodiscard]] int RecoveredChanges() const { return recovered_; }
    // Why the index read at open is damaged (a key there twice, unknown flag bits); empty
    // when it is sound. Only a read-only open gets this far: a writer refuses such a file
    // with ERecIndexError rather than drop an entry.
    [[nodiscard]] const std::string &IndexDamage() const { return indexDamage_; }
    [[nodiscard]] std::string JournalName() const { return fileName_ + ".qjl"; }
    static std::string JournalNameFor(const std::string &container) { return container + ".qjl"; }
    // The key comparison in force: negative, zero or positive.
    [[nodiscard]] int CompareKeys(const std::string &a, const std::string &b) const;
    [[nodiscard]] bool MatchesFilter(const std::string &key) const;

  protected:
    virtual void InsertStep();
    virtual void PostStep();
    virtual void DeleteStep();
    [[nodiscard]] virtual bool AutoEditOn() const { return false; }
    void SetModes(bool insert, bool edit) {
        insertMode_ = insert;
        editMode_ = edit;
    }
    // Opens `name` as is, without the descendant's checks.
    void AssignFile(const std::string &name);
    void RequireFile() const;

  private:
    struct CacheItem {
        Bytes bytes;
        uint64_t stamp = 0;
    };
    struct UndoStep {
        bool admin;
        std::string key;
        std::optional<TIndexEntry> old;
    };
    enum class JournalOp : uint8_t { Add = 1, Change = 2, Delete = 3, Admin = 4, Fold = 5 };

    void open();
    void openFile();
    void loadContainer(const detail::FileIdentity &id);
    void parseIndex(const Bytes &index);
    void createEmptyContainer();
    void openJournal();
    bool replayJournal(const detail::PosixFile &journal, const detail::FileIdentity &id);
    void resetJournal(const detail::FileIdentity &id);
    void appendJournal(JournalOp op, const std::string &key, uint32_t flags, const Bytes &block);
    void foldInto(const std::string &target, bool isContainer);
    Bytes buildIndex(int phase);
    void discardState();

    void applyAdd(const std::string &key, const Bytes &stored, uint32_t flags);
    void applyChange(size_t index, const Bytes &stored, uint32_t flags);
    void applyDelete(size_t index);
    void applyAdmin(const std::string &key, const Bytes &stored);
    uint32_t appendData(const Bytes &stored);
    Bytes prepareBlock(const Bytes &block, uint32_t &flags) const;
    Bytes readBlock(const TIndexEntry &entry);

    size_t lowerBound(const std::vector<TIndexEntry> &list, const std::string &key) const;
    std::optional<size_t> find(const std::vector<TIndexEntry> &list, const std::string &key) const;
    void setCurrent(int index);
    void updateFlags();
    int nextMatch(int from, int step) const;
    void warnNoData();
    void warnOutOfBounds();
    void warnReadOnly();
    void progress(int position, int phase);
    [[noreturn]] void raiseNotValid() const;
    [[noreturn]] void raiseFile(int code, const std::string &name) const;

    void cachePut(const std::string &key, const Bytes &bytes);
    void cacheDrop(const std::string &key);

    std::string fileName_;
    bool readOnly_ = false;
    bool saveOnClose_ = true;
    bool expandedFileNames_ = true;
    bool compression_ = false;
    uint32_t cacheSize_ = 65536;
    bool aggressiveUpdate_ = false;
    std::string filter_;
    bool useGrepMatch_ = false;
    std::optional<std::regex> grep_;
    std::string password_;
    std::optional<Sha1Digest> cipherKey_;

    bool open_ = false;
    bool caseSensitive_ = false;
    std::vector<TIndexEntry> keys_;
    std::vector<TIndexEntry> admin_;
    int current_ = 0;
    std::string currentKey_;
    bool bof_ = false;
    bool eof_ = false;
    bool insertMode_ = false;
    bool editMode_ = false;
    bool indexChanged_ = false;
    std::vector<UndoStep> undo_; // changes since open or the last FlushIndex
    int recovered_ = 0;
    std::string indexDamage_;

    detail::PosixFile data_;
    uint64_t dataSize_ = 0;
    detail::PosixFile journal_;
    uint64_t journalSize_ = 0;
    detail::FileIdentity openedAs_; // the container version the journal applies to

    std::unordered_map<std::string, CacheItem> cache_;
    uint64_t cacheTotal_ = 0;
    uint64_t cacheStamp_ = 0;
    uint64_t hits_ = 0;
    uint64_t accesses_ = 0;
};

} // namespace quillon::records
