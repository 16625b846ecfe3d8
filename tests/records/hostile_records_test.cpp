// Record files as a hostile or broken writer leaves them: an index that would lose an entry
// if it were written back, names that are no file, and a journal far larger than memory.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "records/call_logs.h"
#include "test_util.h"

namespace quillon::records {
namespace {

struct ToolResult {
    int exitCode;
    std::string out;
};

ToolResult runTool(const std::string &args) {
    std::string command = std::string(QUILLON_LOGS_TOOL) + " " + args + " 2>&1";
    FILE *pipe = ::popen(command.c_str(), "r");
    std::string out;
    std::array<char, 256> buf{};
    size_t n = 0;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) {
        out.append(buf.data(), n);
    }
    int status = ::pclose(pipe);
    return {WEXITSTATUS(status), out};
}

uint32_t get32(const std::vector<uint8_t> &b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}

struct EntryAt {
    size_t key;
    size_t keyLength;
    size_t flags;
};

// Where each index entry of a container without a password lies.
std::vector<EntryAt> indexEntries(const std::vector<uint8_t> &file) {
    size_t pos = 8 + get32(file, 4) + 8; // magic, data section, "QIX", its length
    uint32_t count = get32(file, pos);
    pos += 4;
    std::vector<EntryAt> out;
    for (uint32_t i = 0; i < count; ++i) {
        size_t length = std::strlen(reinterpret_cast<const char *>(file.data() + pos));
        out.push_back({pos, length, pos + length + 9});
        pos += length + 13;
    }
    return out;
}

TEST(HostileRecords, IndexThatWouldLoseAnEntryIsDamagedNotTrimmed) {
    test::TempDir dir;
    {
        TCallLog in(TLogKind::Incoming);
        in.Open(dir.path());
        for (int i = 0; i < 5; ++i) {
            in.AddIncoming({"12/09/2026 01:1" + std::to_string(i) + " AM", false, "",
                            "faxes\\1209000" + std::to_string(i) + ".APF", true});
        }
    }
    const std::string file = dir.file("vIn.qdb");
    const std::vector<uint8_t> sound = test::readFile(file);
    std::vector<EntryAt> records;
    for (const EntryAt &e : indexEntries(sound)) {
        if ((get32(sound, e.flags) & kFlagAdmin) == 0) {
            records.push_back(e);
        }
    }
    ASSERT_EQ(records.size(), 5u);
    ASSERT_EQ(records[1].keyLength, records[2].keyLength);

    std::vector<uint8_t> twice = sound;
    std::memcpy(twice.data() + records[2].key, twice.data() + records[1].key, records[1].keyLength);
    std::vector<uint8_t> flagged = sound;
    flagged[records[3].flags + 1] = 0x01; // a bit that no writer sets
    for (const auto &[what, bytes] :
         {std::pair{"a key twice", twice}, {"unknown flags", flagged}}) {
        test::writeFile(file, bytes);
        ToolResult check = runTool("check " + file);
        EXPECT_EQ(check.exitCode, 1) << what << ": " << check.out;
        EXPECT_NE(check.out.find("is damaged"), std::string::npos) << what << ": " << check.out;
        {
            TRecordFile writer;
            EXPECT_THROW(writer.SetFileName(file), ERecIndexError) << what;
        }
        {
            // A reader sees every entry, and is told the index is damaged.
            TRecordFile reader;
            reader.SetReadOnly(true);
            reader.SetFileName(file);
            EXPECT_EQ(reader.Count(), 5) << what;
            EXPECT_NE(reader.IndexDamage().find("is damaged"), std::string::npos) << what;
        }
        EXPECT_EQ(test::readFile(file), bytes) << what; // nothing was written back
    }
}

TEST(HostileRecords, TrueReasonsForATwiceFiledAdminKeyAndNamesThatAreNoFile) {
    test::TempDir dir;
    const std::string file = dir.file("admin.qdb");
    {
        TRecordFile f;
        f.SetFileName(file);
        f.WriteAdminString("KeyA", "one");
        f.WriteAdminString("KeyB", "two");
    }
    std::vector<uint8_t> bytes = test::readFile(file);
    for (const EntryAt &e : indexEntries(bytes)) {
        if (std::memcmp(bytes.data() + e.key, "KeyB", 4) == 0) {
            bytes[e.key + 3] = 'A';
        }
    }
    test::writeFile(file, bytes);
    try {
        TRecordFile f;
        f.SetFileName(file);
        ADD_FAILURE() << "opened";
    } catch (const ERecIndexError &e) {
        EXPECT_NE(std::string(e.what()).find("'KeyA' is there twice"), std::string::npos)
            << e.what();
    }

    const std::string folder = dir.file("folder.qdb");
    std::filesystem::create_directory(folder);
    const std::string fifo = dir.file("pipe.qdb");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto &[path, what] : {std::pair{folder, "a folder"}, {fifo, "a FIFO"}}) {
        for (bool readOnly : {false, true}) {
            try {
                TRecordFile f;
                f.SetReadOnly(readOnly);
                f.SetFileName(path);
                ADD_FAILURE() << path << " opened";
            } catch (const ERecFileError &e) {
                EXPECT_EQ(std::string(e.what()), path + " is not a file but " + what);
            }
        }
        ToolResult check = runTool("check " + path);
        EXPECT_EQ(check.exitCode, 1);
        EXPECT_EQ(check.out, path + " is not a file but " + what + "\n");
    }
    EXPECT_EQ(runTool("check /dev/null").out, "/dev/null is not a file but a device\n");
    EXPECT_FALSE(std::filesystem::exists(folder + ".qjl"));
}

TEST(HostileRecords, JournalLeftByACrashIsReadInBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
#else
    test::TempDir dir;
    const std::string file = dir.file("crash.qdb");
    pid_t writer = ::fork();
    if (writer == 0) {
        // Three journalled adds, then the process ends without Close.
        TRecordFile f;
        f.SetFileName(file);
        for (int i = 0; i < 3; ++i) {
            f.Add(Bytes(100, static_cast<uint8_t>(i)), "key" + std::to_string(i));
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // A crash on a file system that left the journal 4 GiB long, the rest a hole.
    const std::string journal = TRecordFile::JournalNameFor(file);
    std::filesystem::resize_file(journal, std::filesystem::file_size(journal) + (4ull << 30));

    pid_t reader = ::fork();
    if (reader == 0) {
        rlimit limit{512ull << 20, 512ull << 20};
        ::setrlimit(RLIMIT_AS, &limit);
        try {
            TRecordFile f;
            f.SetFileName(file);
            ::_exit(f.Count() == 3 && f.RecoveredChanges() == 3 ? 0 : 1);
        } catch (...) {
            ::_exit(2);
        }
    }
    ASSERT_EQ(::waitpid(reader, &status, 0), reader);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

} // namespace
} // namespace quillon::records
