#include "records/file_io_p.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::records::detail {

int ErrnoCode(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return -2;
    case ENXIO:
    case ENODEV:
    case EIO:
        return -3;
    case EMFILE:
    case ENFILE:
        return -4;
    case EBUSY:
    case EWOULDBLOCK:
    case ETXTBSY:
        return -5;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return -101;
    default:
        return -(1000 + err);
    }
}

namespace {
FileIdentity fromStat(const struct stat &st) {
    FileIdentity id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = static_cast<uint64_t>(st.st_size);
    id.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.readOnlyAttr = (st.st_mode & 0222) == 0;
    if (S_ISDIR(st.st_mode)) {
        id.kind = FileKind::Folder;
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        id.kind = FileKind::Device;
    } else if (S_ISFIFO(st.st_mode)) {
        id.kind = FileKind::Fifo;
    } else if (!S_ISREG(st.st_mode)) {
        id.kind = FileKind::Other;
    }
    return id;
}
} // namespace

FileIdentity Identify(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {};
    }
    return fromStat(st);
}

FileIdentity IdentifyFd(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return {};
    }
    return fromStat(st);
}

PosixFile::~PosixFile() {
    close();
}

PosixFile &PosixFile::operator=(PosixFile &&o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

int PosixFile::open(const std::string &path, int flags, unsigned mode) {
    close();
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) {
        return ErrnoCode(errno);
    }
    fd_ = fd;
    return 0;
}

int PosixFile::openAnonymous(const std::string &dir) {
    close();
    // In memory first: the working copy needs no durability (the journal has every
    // change), and keeping it off the disk spares the synced journal writes from
    // competing with its write-back.
    int fd = ::memfd_create("QDB", MFD_CLOEXEC);
    if (fd < 0) {
        fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        // File systems without unnamed files: a named one, unlinked at once.
        std::string pattern = dir + "/QDBXXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) {
            return ErrnoCode(errno);
        }
        ::unlink(name.data());
    }
    fd_ = fd;
    return 0;
}

void PosixFile::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int PosixFile::readAt(uint64_t offset, void *buf, size_t n) const {
    auto *p = static_cast<uint8_t *>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(offset));
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ErrnoCode(errno);
        }
        if (r == 0) {
            return -1;
        }
        p += r;
        n -= static_cast<size_t>(r);
        offset += static_cast<uint64_t>(r);
    }
    return 0;
}

int PosixFile::writeAt(uint64_t offset, const void *buf, size_t n) {
    const auto *p = static_cast<const uint8_t *>(buf);
    while (n > 0) {
        ssize_t r = ::pwrite(fd_, p, n, static_cast<off_t>(offset));
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ErrnoCode(errno);
        }
        p += r;
        n -= static_cast<size_t>(r);
        offset += static_cast<uint64_t>(r);
    }
    return 0;
}

int PosixFile::size(uint64_t &out) const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        return ErrnoCode(errno);
    }
    out = static_cast<uint64_t>(st.st_size);
    return 0;
}

int PosixFile::truncate(uint64_t size) {
    return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 ? 0 : ErrnoCode(errno);
}

int PosixFile::syncData() {
    return ::fdatasync(fd_) == 0 ? 0 : ErrnoCode(errno);
}
int PosixFile::syncAll() {
    return ::fsync(fd_) == 0 ? 0 : ErrnoCode(errno);
}

int PosixFile::lockExclusive() {
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? -5 : ErrnoCode(errno);
    }
    return 0;
}

std::string DirectoryOf(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int SyncDirectory(const std::string &dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return ErrnoCode(errno);
    }
    int rc = ::fsync(fd) == 0 ? 0 : ErrnoCode(errno);
    ::close(fd);
    return rc;
}

int RenameFile(const std::string &from, const std::string &to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : ErrnoCode(errno);
}

int RemoveFile(const std::string &path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return ErrnoCode(errno);
    }
    return 0;
}

std::string TempDirectory() {
    const char *t = std::getenv("TMPDIR");
    return (t != nullptr && *t != '\0') ? std::string(t) : std::string("/tmp");
}

int WriteFileDurably(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::string tmp = path + ".qdd";
    PosixFile f;
    int rc = f.open(tmp, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (rc == 0) {
        rc = f.writeAt(0, bytes.data(), bytes.size());
    }
    if (rc == 0) {
        rc = f.syncAll();
    }
    f.close();
    if (rc == 0) {
        rc = RenameFile(tmp, path);
    }
    if (rc != 0) {
        (void)RemoveFile(tmp);
        return rc;
    }
    return SyncDirectory(DirectoryOf(path));
}

uint32_t Crc32(const uint8_t *data, size_t n, uint32_t seed) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = ~seed;
    for (size_t i = 0; i < n; ++i) {
        c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    }
    return ~c;
}

} // namespace quillon::records::detail
