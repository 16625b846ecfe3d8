// Fuzz target for the journal reader: a small valid container and a journal built from the
// input, replayed by a read-only open and by a writer's open (which folds what it replayed
// into the container). With the first byte odd the input is a list of record bodies (two
// length bytes, then the body) for which the target writes correct lengths and CRCs, so
// that replay itself is reached; otherwise the input follows a valid journal header as is.
// Only the store's own errors may come out, and a writer must find what a reader found.
// The store syncs every write: run it with TMPDIR on a memory file system for speed.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

#include "records/file_io_p.h"
#include "records/record_file.h"

namespace {

const std::string &workDir() {
    static const std::string dir = [] {
        auto d = std::filesystem::temp_directory_path() /
                 ("quillon-fuzz-journal-" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        return d.string();
    }();
    return dir;
}

void put32(std::string &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<char>(v >> (8 * i)));
    }
}

// "QJL1", an identity of 32 bytes that matches no container, its CRC.
std::string journalHeader() {
    std::string h = "QJL1";
    for (int i = 0; i < 32; ++i) {
        h.push_back(static_cast<char>(i));
    }
    put32(h, quillon::records::detail::Crc32(reinterpret_cast<const uint8_t *>(h.data()), 36));
    return h;
}

struct Seen {
    int count = -1;
    int admin = -1;
};

Seen open(const std::string &container, bool readOnly) {
    using namespace quillon::records;
    Seen seen;
    try {
        TRecordFile f;
        f.SetReadOnly(readOnly);
        f.SetFileName(container);
        Bytes item;
        for (int i = 0; i < f.Count() && i < 1000; ++i) {
            f.GoTo(i);
            try {
                f.Get(item);
            } catch (const ERecError &) {
            }
        }
        seen.count = f.Count();
        seen.admin = static_cast<int>(f.AdminEntries().size());
        f.Close();
    } catch (const ERecError &) {
    }
    return seen;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace quillon::records;
    const std::string container = workDir() + "/j.qdb";
    const std::string journal = TRecordFile::JournalNameFor(container);
    // The same small container every time, made once by the store itself.
    static const std::string base = [&] {
        {
            TRecordFile f;
            f.SetFileName(container);
            f.Add(Bytes{1, 2, 3}, "present");
            f.WriteAdminString("Note", "x");
        }
        std::ifstream in(container, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    std::filesystem::remove(journal);
    std::ofstream(container, std::ios::binary | std::ios::trunc)
        .write(base.data(), static_cast<std::streamsize>(base.size()));
    std::string j = journalHeader();
    if (size > 0 && (data[0] & 1) != 0) {
        for (size_t at = 1; at + 2 <= size;) {
            size_t length = (data[at] | size_t{data[at + 1]} << 8) % 1024;
            at += 2;
            length = std::min(length, size - at);
            put32(j, static_cast<uint32_t>(length));
            put32(j, detail::Crc32(data + at, length));
            j.append(reinterpret_cast<const char *>(data + at), length);
            at += length;
        }
    } else if (size > 0) {
        j.append(reinterpret_cast<const char *>(data + 1), size - 1);
    }
    std::ofstream(journal, std::ios::binary)
        .write(j.data(), static_cast<std::streamsize>(j.size()));
    Seen reader = open(container, true);
    Seen writer = open(container, false);
    if (reader.count >= 0 && writer.count >= 0 &&
        (reader.count != writer.count || reader.admin != writer.admin)) {
        std::abort();
    }
    return 0;
}
