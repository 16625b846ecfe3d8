#pragma once

// The controller's pending list on disk: the received fax files not yet mailed, each with
// the sender's station id, kept in "pending.lst" beside the call logs so that a fax
// received but not mailed when the process ends is mailed after the next start.
//
// Format: a first line "QUILLON-PENDING 1", then one line per file: the file name, a tab,
// the sender. Names and senders never hold a tab or a line break (the controller's names
// are generated and its senders are cleaned to printable characters). Every Save replaces
// the file whole (temporary file, fsync, rename, fsync of the folder), so a crash leaves
// the old list or the new one. A line that cannot be read is reported and kept in a copy
// of the file ("pending.lst.bad"), never silently dropped.
//
// Used on the user-interface thread by its one owner; nothing throws.

#include <filesystem>
#include <string>
#include <vector>

namespace quillon::server {

inline constexpr const char *kPendingFileName = "pending.lst";

struct TPendingEntry {
    std::string file;
    std::string sender;
};

class TPendingStore {
  public:
    explicit TPendingStore(std::filesystem::path folder);

    [[nodiscard]] const std::filesystem::path &Path() const { return path_; }
    // Reads the list; a missing file is an empty list. `problems` receives one text per
    // line or file that could not be read.
    std::vector<TPendingEntry> Load(std::vector<std::string> &problems) const;
    // Replaces the list on disk; 0 or the errno of the failed step.
    int Save(const std::vector<TPendingEntry> &entries) const;

    // The text a Save writes, and its parser (tests and the fuzz target use them).
    static std::string Format(const std::vector<TPendingEntry> &entries);
    static std::vector<TPendingEntry> Parse(const std::string &text,
                                            std::vector<std::string> &problems);

  private:
    std::filesystem::path path_;
};

} // namespace quillon::server
