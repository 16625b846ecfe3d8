// Fuzz target for the record file reader: the input is written as a container (and, when
// it starts with "J" and a 4-byte length, the rest as its journal), opened read-only,
// every record and administrative item read. Only the store's own errors may come out.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "records/record_file.h"

namespace {

const std::string &workDir() {
    static const std::string dir = [] {
        auto d = std::filesystem::temp_directory_path() /
                 ("quillon-fuzz-records-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d.string();
    }();
    return dir;
}

void writeFile(const std::string &path, const uint8_t *data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace quillon::records;
    std::string container = workDir() + "/f.qdb";
    std::string journal = TRecordFile::JournalNameFor(container);
    std::filesystem::remove(journal);
    if (size >= 5 && data[0] == 'J') {
        size_t split =
            data[1] | (size_t{data[2]} << 8) | (size_t{data[3]} << 16) | (size_t{data[4]} << 24);
        split = std::min(split, size - 5);
        writeFile(container, data + 5, split);
        writeFile(journal, data + 5 + split, size - 5 - split);
    } else {
        writeFile(container, data, size);
    }
    try {
        TRecordFile f;
        f.SetReadOnly(true);
        f.SetFileName(container);
        Bytes item;
        for (int i = 0; i < f.Count() && i < 1000; ++i) {
            f.GoTo(i);
            try {
                f.Get(item);
            } catch (const ERecError &) {
            }
        }
        for (const auto &key : f.ListAdmin("")) {
            try {
                (void)f.ReadAdminString(key);
            } catch (const ERecError &) {
            }
        }
        (void)f.FindKey("QF.0000");
    } catch (const ERecError &) {
    }
    return 0;
}
