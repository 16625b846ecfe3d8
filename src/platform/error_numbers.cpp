#include "platform/error_numbers.h"

#include <cerrno>

namespace quillon::platform {

int32_t IoErrorCode(int err, IoDirection direction) {
    switch (err) {
    case ENOENT:
        return kErrFileNotFound;
    case ENOTDIR:
        return kErrPathNotFound;
    case EMFILE:
    case ENFILE:
        return kErrTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
        return kErrFileAccessDenied;
    case EBADF:
        return kErrInvalidFileHandle;
    case ENOMEM:
        return kErrInsufficientMemory;
    case ENOSPC:
    case EDQUOT:
        return kErrDiskFull;
    case EROFS:
        return kErrWriteProtected;
    case EIO:
        return direction == IoDirection::Writing ? kErrDeviceWrite : kErrDeviceRead;
    default:
        // Other platform numbers keep their own text: the message of a code without a
        // table entry is the platform's text for its magnitude.
        if (err > 0 && -err >= kLastIoErrorCode) {
            return -err;
        }
        return direction == IoDirection::Writing ? kErrDeviceWrite : kErrDeviceRead;
    }
}

} // namespace quillon::platform
