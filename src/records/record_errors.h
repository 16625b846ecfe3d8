#pragma once

// Exception classes of the record store. ERecError is the root; the index errors carry the
// three warnings (out of bounds, no data, read-only) and the no-file error. The view adds
// ERecViewError (panel mismatch) and ERecKeyError (no key supplier).

#include <stdexcept>
#include <string>

namespace quillon::records {

// Carries the store error number it was raised for (a file error such as -2 or -101), 0 when
// none applies.
class ERecError : public std::runtime_error {
  public:
    explicit ERecError(const std::string &message, int code = 0)
        : std::runtime_error(message), code_(code) {}
    [[nodiscard]] int code() const { return code_; }

  private:
    int code_;
};

#define QUILLON_REC_ERROR(name, parent)                                                            \
    class name : public parent {                                                                   \
      public:                                                                                      \
        using parent::parent;                                                                      \
    };

QUILLON_REC_ERROR(ERecListError, ERecError)
QUILLON_REC_ERROR(ERecFileError, ERecError)
QUILLON_REC_ERROR(ERecIndexError, ERecError)
QUILLON_REC_ERROR(ERecInvalidPW, ERecError)
QUILLON_REC_ERROR(ERecNoCompress, ERecError)
QUILLON_REC_ERROR(ERecBadKey, ERecError)
QUILLON_REC_ERROR(ERecOutOfBounds, ERecIndexError)
QUILLON_REC_ERROR(ERecNoData, ERecIndexError)
QUILLON_REC_ERROR(ERecReadOnly, ERecIndexError)
QUILLON_REC_ERROR(ERecNoFile, ERecIndexError)
QUILLON_REC_ERROR(ERecViewError, ERecError)
QUILLON_REC_ERROR(ERecKeyError, ERecError)

#undef QUILLON_REC_ERROR

// The store's message texts; "%s" stands for the file name or key.
inline constexpr const char *kMsgNotValid = "The file %s is not a valid QDB file";
inline constexpr const char *kMsgInvalidPassword = "The password you have provided is invalid";
inline constexpr const char *kMsgIndexDamaged = "The index of %s is damaged";
inline constexpr const char *kMsgNotAFile = "%s is not a file";
inline constexpr const char *kMsgNoMemoryIndex = "Not enough memory to extend the index to %s";
inline constexpr const char *kMsgDuplicateKey = "Duplicate keys are not allowed";
inline constexpr const char *kMsgNoData = "File %s is empty";
inline constexpr const char *kMsgOutOfBounds = "The list index is out of bounds";
inline constexpr const char *kMsgReadOnly = "%s is marked as read-only";
inline constexpr const char *kMsgNoFile = "Illegal operation - no file assigned";
inline constexpr const char *kMsgNoCompress = "Insufficient memory to compress or expand";
inline constexpr const char *kMsgNoTempFile = "Could not create a necessary temporary file";
inline constexpr const char *kMsgBadKey = "The key '%s' does not exist";
inline constexpr const char *kMsgPanelMismatch = "File doesn't match panel";
inline constexpr const char *kMsgNoKeyHandler =
    "Cannot store data unless an OnKey handler is assigned";

// Replaces the first "%s" of `pattern` by `arg`.
std::string FormatMessage(const char *pattern, const std::string &arg);

// The message of a failed file open or create, chosen by the error number: -2 not found,
// -3 drive not ready, -4 no handles, -5 in use, -101 drive full, -1 `callerMessage`, any
// other number "Unidentified problem -  <number>".
std::string FileErrorMessage(int code, const std::string &fileName,
                             const std::string &callerMessage = {});

} // namespace quillon::records
