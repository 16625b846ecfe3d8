#pragma once

// Replacing a file's contents as a whole: a temporary file beside it is written, synced and
// renamed over it, then the folder is synced, so that a reader sees the old file or the new
// one, never half of either, and a crash leaves no torn file behind.

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace quillon::platform {

// The step that failed.
enum class ReplaceStep { None, Write, Sync, Rename };

struct ReplaceResult {
    int error = 0; // errno of the failed step, 0 on success
    ReplaceStep step = ReplaceStep::None;
    [[nodiscard]] bool ok() const { return error == 0; }
};

// The temporary is `file` + `tempSuffix`, created with `mode` (less the umask) and removed
// again when any step fails.
ReplaceResult ReplaceFileContents(const std::filesystem::path &file, std::string_view data,
                                  mode_t mode, std::string_view tempSuffix);

// For a file written in pieces under a temporary name `tmp` (already closed): syncs it,
// renames it to `file` and syncs the folder; `tmp` is removed when a step fails.
ReplaceResult PublishFile(const std::filesystem::path &tmp, const std::filesystem::path &file);
// Removes a temporary that will not be published.
void DiscardFile(const std::filesystem::path &tmp);

} // namespace quillon::platform

namespace quillon::platform {

// Makes a file that was written and closed by other code durable: its data and the folder
// entry that names it reach the disk. Returns 0 or the errno of the failed step.
int SyncFileToDisk(const std::filesystem::path &file);

} // namespace quillon::platform
