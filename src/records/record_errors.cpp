#include "records/record_errors.h"

namespace quillon::records {

std::string FormatMessage(const char *pattern, const std::string &arg) {
    std::string text(pattern);
    auto at = text.find("%s");
    if (at != std::string::npos) {
        text.replace(at, 2, arg);
    }
    return text;
}

std::string FileErrorMessage(int code, const std::string &fileName,
                             const std::string &callerMessage) {
    switch (code) {
    case -2:
        return FormatMessage("Could not find the file %s", fileName);
    case -3:
        return "The drive you are trying to access is not ready";
    case -4:
        return "No more file handles are available";
    case -5:
        return FormatMessage("The file %s seems to be in use by another program", fileName);
    case -101:
        return "The drive is full";
    case -1:
        return FormatMessage(callerMessage.c_str(), fileName);
    default:
        return FormatMessage("Unidentified problem -  %s", std::to_string(code));
    }
}

} // namespace quillon::records
