#include "server/pending_store.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/file_replace.h"

namespace quillon::server {

namespace {
constexpr const char *kHeader = "QUILLON-PENDING 1";
}

TPendingStore::TPendingStore(std::filesystem::path folder)
    : path_(std::move(folder) / kPendingFileName) {}

std::string TPendingStore::Format(const std::vector<TPendingEntry> &entries) {
    std::string text = std::string(kHeader) + "\n";
    for (const TPendingEntry &e : entries) {
        text += e.file + "\t" + e.sender + "\n";
    }
    return text;
}

std::vector<TPendingEntry> TPendingStore::Parse(const std::string &text,
                                                std::vector<std::string> &problems) {
    std::vector<TPendingEntry> entries;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        while (!line.empty() && line.back() == '\r') {
            line.pop_back(); // a list edited by hand with CR LF line ends reads the same
        }
        if (number == 1) {
            if (line != kHeader) {
                problems.push_back("pending list: unknown format \"" + line.substr(0, 40) + "\"");
                return {};
            }
            continue;
        }
        if (line.empty()) {
            continue;
        }
        size_t tab = line.find('\t');
        if (tab == 0 || tab == std::string::npos) {
            problems.push_back("pending list: line " + std::to_string(number) +
                               " has no file name and sender");
            continue;
        }
        entries.push_back({line.substr(0, tab), line.substr(tab + 1)});
    }
    return entries;
}

std::vector<TPendingEntry> TPendingStore::Load(std::vector<std::string> &problems) const {
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) {
        return {};
    }
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        problems.push_back("pending list: cannot read " + path_.string() + ": " +
                           std::strerror(errno));
        return {};
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    size_t before = problems.size();
    std::vector<TPendingEntry> entries = Parse(ss.str(), problems);
    if (problems.size() != before) {
        // What could not be read is kept for the operator; the next Save rewrites the list.
        auto bad = path_;
        bad += ".bad";
        std::filesystem::copy_file(path_, bad, std::filesystem::copy_options::overwrite_existing,
                                   ec);
        problems.push_back("pending list: the file as found is kept in " + bad.string());
    }
    return entries;
}

int TPendingStore::Save(const std::vector<TPendingEntry> &entries) const {
    platform::ReplaceResult r = platform::ReplaceFileContents(path_, Format(entries), 0600, ".tmp");
    return r.error;
}

} // namespace quillon::server
