#include "platform/file_replace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quillon::platform {

ReplaceResult ReplaceFileContents(const std::filesystem::path &file, std::string_view data,
                                  mode_t mode, std::string_view tempSuffix) {
    auto tmp = file;
    tmp += std::string(tempSuffix);
    auto fail = [&](ReplaceStep step, int error, int fd) {
        if (fd >= 0) {
            ::close(fd);
        }
        ::unlink(tmp.c_str());
        return ReplaceResult{error == 0 ? EIO : error, step};
    };
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return ReplaceResult{errno, ReplaceStep::Write};
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return fail(ReplaceStep::Write, n < 0 ? errno : ENOSPC, fd);
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) < 0) {
        return fail(ReplaceStep::Write, errno, -1);
    }
    return PublishFile(tmp, file);
}

ReplaceResult PublishFile(const std::filesystem::path &tmp, const std::filesystem::path &file) {
    auto fail = [&](ReplaceStep step, int error, int fd) {
        if (fd >= 0) {
            ::close(fd);
        }
        ::unlink(tmp.c_str());
        return ReplaceResult{error == 0 ? EIO : error, step};
    };
    int fd = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return fail(ReplaceStep::Sync, errno, -1);
    }
    if (::fsync(fd) < 0) {
        return fail(ReplaceStep::Sync, errno, fd);
    }
    if (::close(fd) < 0) {
        return fail(ReplaceStep::Sync, errno, -1);
    }
    if (::rename(tmp.c_str(), file.c_str()) < 0) {
        return fail(ReplaceStep::Rename, errno, -1);
    }
    int dir = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

void DiscardFile(const std::filesystem::path &tmp) {
    ::unlink(tmp.c_str());
}

} // namespace quillon::platform

namespace quillon::platform {

int SyncFileToDisk(const std::filesystem::path &file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int rc = ::fsync(fd) < 0 ? errno : 0;
    ::close(fd);
    if (rc != 0) {
        return rc;
    }
    int dir = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return errno;
    }
    rc = ::fsync(dir) < 0 ? errno : 0;
    ::close(dir);
    return rc;
}

} // namespace quillon::platform
