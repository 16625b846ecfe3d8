#pragma once

// Thin POSIX file layer of the record store (private): whole-buffer reads and writes at
// offsets, durable replacement of a file, anonymous working files, file identity and the
// exclusive lock that keeps two processes from opening the same store for writing.
// Every function returns 0 or a negative store error number (-2 not found, -3 device not
// ready, -4 no handles, -5 in use, -101 disk full, or -(1000 + errno) for anything else).

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::records::detail {

// The store error number for an errno value.
int ErrnoCode(int err);

// What a path names; only a regular file can hold a store.
enum class FileKind : uint8_t { Regular, Folder, Device, Fifo, Other };

struct FileIdentity {
    bool exists = false;
    FileKind kind = FileKind::Regular;
    uint64_t dev = 0;
    uint64_t ino = 0;
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    bool readOnlyAttr = false; // no write permission bit at all
    bool operator==(const FileIdentity &o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtimeNs == o.mtimeNs;
    }
};

FileIdentity Identify(const std::string &path);
FileIdentity IdentifyFd(int fd);

class PosixFile {
  public:
    PosixFile() = default;
    ~PosixFile();
    PosixFile(const PosixFile &) = delete;
    PosixFile &operator=(const PosixFile &) = delete;
    PosixFile(PosixFile &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    PosixFile &operator=(PosixFile &&o) noexcept;

    [[nodiscard]] int open(const std::string &path, int flags, unsigned mode = 0644);
    // An unnamed file (in memory, else in `dir`) that disappears when closed or when the
    // process dies.
    [[nodiscard]] int openAnonymous(const std::string &dir);
    void close();
    [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
    [[nodiscard]] int fd() const { return fd_; }

    [[nodiscard]] int readAt(uint64_t offset, void *buf, size_t n) const; // -1 on short read
    [[nodiscard]] int writeAt(uint64_t offset, const void *buf, size_t n);
    [[nodiscard]] int size(uint64_t &out) const;
    [[nodiscard]] int truncate(uint64_t size);
    [[nodiscard]] int syncData();
    [[nodiscard]] int syncAll();
    // Exclusive advisory lock without waiting; -5 when another process holds it.
    [[nodiscard]] int lockExclusive();

  private:
    int fd_ = -1;
};

// Folder of a path ("." when it has none) and the fsync of a folder after a rename.
std::string DirectoryOf(const std::string &path);
[[nodiscard]] int SyncDirectory(const std::string &dir);
[[nodiscard]] int RenameFile(const std::string &from, const std::string &to);
[[nodiscard]] int RemoveFile(const std::string &path); // 0 also when it did not exist
std::string TempDirectory();

// Writes `bytes` to `path` through "<path>.qdd" in the same folder: write, fsync, rename,
// fsync of the folder. The file on disk is always either the old or the new version.
[[nodiscard]] int WriteFileDurably(const std::string &path, const std::vector<uint8_t> &bytes);

uint32_t Crc32(const uint8_t *data, size_t n, uint32_t seed = 0);

} // namespace quillon::records::detail
