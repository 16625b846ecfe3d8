// The record file against real files in a temporary folder: the on-disk layout byte for
// byte, key order and duplicates, Change in place and moved, the cache, navigation and its
// warnings, administrative items, passwords, the "1." overwrite rule, and malformed files.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "records/password.h"
#include "records/record_file.h"
#include "test_util.h"

namespace quillon::records {
namespace {

using test::bytesOf;
using test::put32;
using test::readFile;
using test::TempDir;

const std::vector<uint8_t> kEmptyFile = {'Q', 'D', 'B', 0, 0, 0, 0, 0, 'Q', 'I', 'X',
                                         0,   5,   0,   0, 0, 0, 0, 0, 0,   0};

void putEntry(std::vector<uint8_t> &b, const std::string &key, uint32_t off, uint32_t size,
              uint32_t flags) {
    b.insert(b.end(), key.begin(), key.end());
    b.push_back(0);
    put32(b, off);
    put32(b, size);
    put32(b, flags);
}

std::vector<uint8_t> container(const std::string &data, const std::vector<uint8_t> &index) {
    std::vector<uint8_t> f = {'Q', 'D', 'B', 0};
    put32(f, static_cast<uint32_t>(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    f.insert(f.end(), {'Q', 'I', 'X', 0});
    put32(f, static_cast<uint32_t>(index.size()));
    f.insert(f.end(), index.begin(), index.end());
    return f;
}

TEST(RecordFile, NewFileIsTheEmptyLayoutAndFirstWarnsNoData) {
    TempDir dir;
    TRecordFile f;
    f.SetFileName(dir.file("new"));
    EXPECT_EQ(f.FileName(), dir.file("new.QDB"));
    EXPECT_EQ(readFile(dir.file("new.QDB")), kEmptyFile);
    try {
        f.First();
        FAIL() << "First on an empty file must warn";
    } catch (const ERecNoData &e) {
        EXPECT_EQ(std::string(e.what()), "File " + dir.file("new.QDB") + " is empty");
    }
    f.Close();
    // Closing an untouched empty file writes the same 21 bytes and no working files remain.
    EXPECT_EQ(readFile(dir.file("new.QDB")), kEmptyFile);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"new.QDB"});
}

TEST(RecordFile, CloseWritesAdminFirstThenDescendingKeys) {
    TempDir dir;
    {
        TRecordFile f;
        f.SetFileName(dir.file("o.qdb"));
        f.Add(bytesOf("BB"), "b");
        f.Add(bytesOf("A"), "a");
        f.WriteAdminString("QX", "v");
        f.Add(bytesOf("CCC"), "c");
        f.WriteAdminString("QA", "w");
    }
    std::vector<uint8_t> index;
    put32(index, 5);
    putEntry(index, "QX", 3, 2, 1);
    putEntry(index, "QA", 8, 2, 1);
    putEntry(index, "c", 5, 3, 0);
    putEntry(index, "b", 0, 2, 0);
    putEntry(index, "a", 2, 1, 0);
    index.push_back(0);
    std::vector<uint8_t> expected = container("BBAv\0CCCw\0", index);
    // container() takes a C string: rebuild the data with its zero bytes.
    std::string data = std::string("BBAv") + '\0' + "CCCw" + '\0';
    expected = container(data, index);
    EXPECT_EQ(readFile(dir.file("o.qdb")), expected);

    // Reopened, closed again: byte for byte the same file.
    {
        TRecordFile f;
        f.SetFileName(dir.file("o.qdb"));
        ASSERT_EQ(f.Count(), 3);
        EXPECT_EQ(f.Entries()[0].key, "a");
        EXPECT_EQ(f.Entries()[2].key, "c");
        EXPECT_EQ(f.ReadAdminString("QX"), "v");
    }
    EXPECT_EQ(readFile(dir.file("o.qdb")), expected);
}

TEST(RecordFile, KeysAreCaseInsensitiveUnlessTheFileSaysOtherwise) {
    TempDir dir;
    TRecordFile f;
    f.SetFileName(dir.file("k.qdb"));
    f.Add(bytesOf("1"), "ABC");
    try {
        f.Add(bytesOf("2"), "abc");
        FAIL();
    } catch (const ERecIndexError &e) {
        EXPECT_STREQ(e.what(), "Duplicate keys are not allowed");
    }
    EXPECT_EQ(f.Count(), 1);
    EXPECT_TRUE(f.FindKey("aBc"));
    EXPECT_EQ(f.CurrentKey(), "ABC");
    f.Add(bytesOf("3"), "b");
    f.Add(bytesOf("4"), "B2");
    EXPECT_EQ(f.Entries()[0].key, "ABC");
    EXPECT_EQ(f.Entries()[1].key, "b");
    EXPECT_EQ(f.Entries()[2].key, "B2");
    f.Close();

    // A case-sensitive file: "abc" and "ABC" are two keys, upper case first.
    TRecordFile g;
    g.SetFileName(dir.file("s.qdb"));
    g.WriteAdmin("QDBCaseSensitive", {1});
    g.Close();
    g.SetFileName(dir.file("s.qdb"));
    EXPECT_TRUE(g.CaseSensitive());
    g.Add(bytesOf("1"), "abc");
    g.Add(bytesOf("2"), "ABC");
    EXPECT_EQ(g.Entries()[0].key, "ABC");
    EXPECT_FALSE(g.FindKey("Abc"));
    g.Close();
    g.SetFileName(dir.file("s.qdb"));
    ASSERT_EQ(g.Count(), 2);
    EXPECT_EQ(g.Entries()[1].key, "abc");
}

TEST(RecordFile, ChangeShorterKeepsOffsetLongerMovesToTheEnd) {
    TempDir dir;
    TRecordFile f;
    f.SetFileName(dir.file("c.qdb"));
    f.Add(bytesOf("hello"), "a");
    f.Add(bytesOf("world"), "b");
    ASSERT_TRUE(f.FindKey("a"));
    f.Change(bytesOf("hi"));
    EXPECT_EQ(f.Entries()[0].offset, 0u);
    EXPECT_EQ(f.Entries()[0].size, 2u);
    f.Change(bytesOf("a longer text"));
    EXPECT_EQ(f.Entries()[0].offset, 10u);
    EXPECT_EQ(f.DataSize(), 23u);
    std::vector<uint8_t> got;
    f.Get(got);
    EXPECT_EQ(got, bytesOf("a longer text"));
    f.Close();
    f.SetFileName(dir.file("c.qdb"));
    ASSERT_TRUE(f.FindKey("a"));
    f.Get(got);
    EXPECT_EQ(got, bytesOf("a longer text"));
    ASSERT_TRUE(f.FindKey("b"));
    f.Get(got);
    EXPECT_EQ(got, bytesOf("world"));
}

TEST(RecordFile, CacheCountsHitsAndEvictsTheOldest) {
    TempDir dir;
    TRecordFile f;
    f.SetCacheSize(10);
    f.SetFileName(dir.file("cache.qdb"));
    f.Add(bytesOf("1234"), "a");       // cached
    f.Add(bytesOf("5678"), "b");       // cached
    f.Add(bytesOf("9abc"), "c");       // evicts "a"
    f.Add(bytesOf("0123456789"), "d"); // not smaller than the cache: never cached
    std::vector<uint8_t> got;
    f.FindKey("c");
    f.Get(got); // hit
    f.FindKey("a");
    f.Get(got); // miss, cached again (evicts "b")
    EXPECT_EQ(got, bytesOf("1234"));
    f.FindKey("b");
    f.Get(got); // miss
    f.FindKey("d");
    f.Get(got); // miss
    EXPECT_EQ(got, bytesOf("0123456789"));
    EXPECT_EQ(f.CacheFrequency(), 25);
    f.SetCacheFrequency(99);
    EXPECT_EQ(f.CacheFrequency(), 25);
}

TEST(RecordFile, NavigationFlagsAndWarnings) {
    TempDir dir;
    TRecordFile f;
    f.SetFileName(dir.file("n.qdb"));
    for (const char *k : {"c", "a", "b"}) {
        f.Add(bytesOf(k), k);
    }
    f.First();
    EXPECT_TRUE(f.Bof());
    EXPECT_FALSE(f.Eof());
    std::vector<std::string> seen{f.CurrentKey()};
    while (!f.Eof()) {
        f.Next();
        seen.push_back(f.CurrentKey());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
    f.Next(); // stays, end-of-file
    EXPECT_EQ(f.CurrentKey(), "c");
    EXPECT_THROW(f.GoTo(3), ERecOutOfBounds);
    int warned = 0;
    f.WarnOutOfBounds = [&](TRecordFile &) { ++warned; };
    f.GoTo(-1);
    EXPECT_EQ(warned, 1);
    EXPECT_EQ(f.CurrentKey(), "c");

    // Deleting moves to the previous item; the first stays at 0.
    f.FindKey("b");
    f.Delete();
    EXPECT_EQ(f.CurrentKey(), "a");
    f.Delete();
    EXPECT_EQ(f.CurrentKey(), "c");
    f.Delete();
    EXPECT_EQ(f.Count(), 0);
    EXPECT_THROW(f.Delete(), ERecNoData);

    // With a filter the moves skip keys that do not match.
    for (const char *k : {"fax1", "mail1", "fax2", "mail2"}) {
        f.Add(bytesOf(k), k);
    }
    f.SetFilter("FAX*");
    f.First();
    EXPECT_EQ(f.CurrentKey(), "fax1");
    f.Next();
    EXPECT_EQ(f.CurrentKey(), "fax2");
    f.SetAggressiveUpdate(true);
    f.Prior();
    EXPECT_TRUE(f.Bof());
    f.Next();
    EXPECT_TRUE(f.Eof());
    f.SetUseGrepMatch(true);
    f.SetFilter("^mail[0-9]$");
    f.Last();
    EXPECT_EQ(f.CurrentKey(), "mail2");
    EXPECT_THROW(f.SetFilter("(unclosed"), ERecError);

    TRecordFile none;
    EXPECT_THROW(none.First(), ERecNoFile);
    EXPECT_THROW(none.FlushIndex(), ERecNoFile);
}

TEST(RecordFile, AdministrativeItems) {
    TempDir dir;
    TRecordFile f;
    f.SetFileName(dir.file("adm.qdb"));
    f.WriteAdminString("QF.0001", "one");
    f.WriteAdminString("QF.0000", "zero");
    f.WriteAdminString("Other", "x");
    f.WriteAdminString("QF.0001", "uno");
    EXPECT_EQ(f.ListAdmin("qf."), (std::vector<std::string>{"QF.0000", "QF.0001"}));
    EXPECT_EQ(f.ReadAdminString("QF.0001"), "uno");
    EXPECT_FALSE(f.ReadAdminBool("Other"));
    try {
        (void)f.ReadAdmin("Missing");
        FAIL();
    } catch (const ERecBadKey &e) {
        EXPECT_STREQ(e.what(), "The key 'Missing' does not exist");
    }
    EXPECT_EQ(f.Count(), 0); // administrative items are not records
}

TEST(RecordFile, PasswordCheckValueAndChunkTransform) {
    // The transform is its own inverse and restarts at each chunk.
    Sha1Digest key = PasswordKey("secret");
    std::vector<uint8_t> chunk = bytesOf("fourteen bytes");
    std::vector<uint8_t> orig = chunk;
    TransformChunk(key, chunk.data(), chunk.size());
    EXPECT_NE(chunk, orig);
    TransformChunk(key, chunk.data(), chunk.size());
    EXPECT_EQ(chunk, orig);
    // Known values: s0 = xor of K's little-endian words; the first word is xor'ed with
    // s0 * 1664525 + 1013904223.
    uint32_t s = 0;
    for (int w = 0; w < 5; ++w) {
        s ^= uint32_t{key[w * 4]} | (uint32_t{key[w * 4 + 1]} << 8) |
             (uint32_t{key[w * 4 + 2]} << 16) | (uint32_t{key[w * 4 + 3]} << 24);
    }
    s = s * 1664525u + 1013904223u;
    std::vector<uint8_t> zeros(5, 0);
    TransformChunk(key, zeros.data(), zeros.size());
    EXPECT_EQ(zeros[0], static_cast<uint8_t>(s));
    EXPECT_EQ(zeros[3], static_cast<uint8_t>(s >> 24));
    EXPECT_EQ(zeros[4], static_cast<uint8_t>(static_cast<uint8_t>(s) * 13 + 95));

    TempDir dir;
    {
        TRecordFile f;
        f.SetPassword("secret");
        f.SetFileName(dir.file("pw.qdb"));
        f.Add(bytesOf("confidential fax"), "k");
    }
    std::vector<uint8_t> file = readFile(dir.file("pw.qdb"));
    ASSERT_GE(file.size(), 28u);
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 4, file.begin() + 8),
              (std::vector<uint8_t>{'Q', 'P', 'W', 0}));
    Sha1Digest check = PasswordCheck(key);
    EXPECT_TRUE(std::equal(check.begin(), check.end(), file.begin() + 8));
    EXPECT_EQ(std::search(file.begin(), file.end(), orig.begin(), orig.begin() + 8), file.end());

    TRecordFile wrong;
    wrong.SetPassword("guess");
    try {
        wrong.SetFileName(dir.file("pw.qdb"));
        FAIL();
    } catch (const ERecInvalidPW &e) {
        EXPECT_STREQ(e.what(), "The password you have provided is invalid");
    }
    EXPECT_FALSE(wrong.IsOpen());
    TRecordFile right;
    right.OnDemandPassword = [](TRecordFile &, std::string &pw) { pw = "secret"; };
    right.SetFileName(dir.file("pw.qdb"));
    std::vector<uint8_t> got;
    right.First();
    right.Get(got);
    EXPECT_EQ(got, bytesOf("confidential fax"));
}

TEST(RecordFile, RewrittenContainerGoesToOneDotNameUnlessConfirmed) {
    TempDir dir;
    TRecordFile f;
    f.SetFileName(dir.file("w.qdb"));
    f.Add(bytesOf("mine"), "k");
    std::vector<uint8_t> theirs = kEmptyFile;
    // Another program rewrites the container while it is open.
    test::writeFile(dir.file("w.qdb"), theirs);
    auto touch = [&](time_t when) {
        struct timespec times[2] = {{0, UTIME_NOW}, {when, 0}};
        ::utimensat(AT_FDCWD, dir.file("w.qdb").c_str(), times, 0);
    };
    touch(1000);
    f.Close();
    EXPECT_EQ(readFile(dir.file("w.qdb")), theirs);
    TRecordFile one;
    one.SetFileName(dir.file("1.w.qdb"));
    EXPECT_TRUE(one.FindKey("k"));
    one.Close();

    // A second time: "1.w.qdb" exists, so "1.1.w.qdb"; with a handler that confirms, the
    // container itself is replaced.
    f.SetFileName(dir.file("w.qdb"));
    f.Add(bytesOf("again"), "k2");
    touch(2000);
    f.Close();
    EXPECT_TRUE(std::filesystem::exists(dir.file("1.1.w.qdb")));
    f.SetFileName(dir.file("w.qdb"));
    f.Add(bytesOf("confirmed"), "k3");
    touch(3000);
    bool asked = false;
    f.BeforeOverWrite = [&](TRecordFile &, bool &confirm) {
        asked = true;
        confirm = true;
    };
    f.Close();
    EXPECT_TRUE(asked);
    EXPECT_FALSE(std::filesystem::exists(dir.file("1.1.1.w.qdb")));
    f.SetFileName(dir.file("w.qdb"));
    EXPECT_TRUE(f.FindKey("k3"));
}

TEST(RecordFile, ProgressEventsAndSaveOnClose) {
    TempDir dir;
    std::vector<std::pair<int, int>> events; // outlives f: its destructor still reports
    TRecordFile f;
    f.ProgressUpdate = [&](TRecordFile &, int pos, int phase) { events.emplace_back(pos, phase); };
    f.SetFileName(dir.file("p.qdb"));
    for (int i = 0; i < 25; ++i) {
        f.Add(bytesOf("x"), "k" + std::to_string(100 + i));
    }
    events.clear();
    f.FlushIndex();
    // N = 25, step = 3: positions 0, 3, ..., 24 report i * 10 / 3, then 0 at the end.
    ASSERT_EQ(events.size(), 10u);
    EXPECT_EQ(events[1], std::make_pair(10, 2));
    EXPECT_EQ(events[8], std::make_pair(80, 2));
    EXPECT_EQ(events.back(), std::make_pair(0, 2));
    events.clear();
    f.FlushIndex(); // unchanged: nothing happens
    EXPECT_TRUE(events.empty());

    // Without SaveOnClose the container keeps the index of the last FlushIndex.
    f.Add(bytesOf("y"), "late");
    f.SetSaveOnClose(false);
    f.Close();
    f.SetSaveOnClose(true);
    f.SetFileName(dir.file("p.qdb"));
    EXPECT_EQ(f.Count(), 25);
    EXPECT_FALSE(f.FindKey("late"));
}

TEST(RecordFile, SecondWriterIsRefusedReadersAreNot) {
    TempDir dir;
    TRecordFile writer;
    writer.SetFileName(dir.file("lock.qdb"));
    writer.Add(bytesOf("a"), "a");
    // The lock is per open file description, so a second object in this process
    // competes like another program would.
    TRecordFile other;
    try {
        other.SetFileName(dir.file("lock.qdb"));
        FAIL();
    } catch (const ERecFileError &e) {
        EXPECT_EQ(std::string(e.what()),
                  "The file " + dir.file("lock.qdb") + " seems to be in use by another program");
    }
    TRecordFile reader;
    reader.SetReadOnly(true);
    reader.SetFileName(dir.file("lock.qdb"));
    EXPECT_TRUE(reader.FindKey("a")); // sees the journalled record
    EXPECT_THROW(reader.Add(bytesOf("b"), "b"), ERecReadOnly);
}

// ---- malformed files ---------------------------------------------------------------------

struct Malformed {
    const char *what;
    std::vector<uint8_t> bytes;
};

std::vector<Malformed> malformedFiles() {
    std::vector<Malformed> out;
    out.push_back({"wrong magic", {'Q', 'D', 'X', 0, 0, 0, 0, 0}});
    out.push_back({"truncated after magic", {'Q', 'D', 'B', 0, 1}});
    std::vector<uint8_t> idx;
    put32(idx, 1);
    putEntry(idx, "k", 0, 4, 0);
    std::vector<uint8_t> good = container("abcd", idx);
    std::vector<uint8_t> truncated(good.begin(), good.end() - 3);
    out.push_back({"truncated index", truncated});
    std::vector<uint8_t> big = good;
    big[4] = 0xFF; // data length past the file
    out.push_back({"data length past the end", big});
    idx.clear();
    put32(idx, 1000);
    putEntry(idx, "k", 0, 4, 0);
    out.push_back({"count larger than the index", container("abcd", idx)});
    idx.clear();
    put32(idx, 1);
    putEntry(idx, "k", 2, 4, 0);
    out.push_back({"block past the data section", container("abcd", idx)});
    idx.clear();
    put32(idx, 1);
    idx.insert(idx.end(), 300, 'k');
    for (int i = 0; i < 12; ++i) {
        idx.push_back(0);
    }
    out.push_back({"key without its zero byte", container("abcd", idx)});
    std::vector<uint8_t> noQix = good;
    noQix[12] = 'X';
    out.push_back({"no QIX", noQix});
    return out;
}

TEST(RecordFile, MalformedFilesAreRejectedAndLeftUnchanged) {
    TempDir dir;
    for (const auto &m : malformedFiles()) {
        SCOPED_TRACE(m.what);
        std::string name = dir.file("bad.qdb");
        test::writeFile(name, m.bytes);
        TRecordFile f;
        try {
            f.SetFileName(name);
            FAIL() << "opened";
        } catch (const ERecError &e) {
            EXPECT_EQ(std::string(e.what()), "The file " + name + " is not a valid QDB file");
        }
        EXPECT_FALSE(f.IsOpen());
        EXPECT_EQ(readFile(name), m.bytes);
        f.Close();
        EXPECT_EQ(readFile(name), m.bytes);
    }
}

TEST(RecordFile, CompressedItemThatOverrunsIsNotValidOnGet) {
    TempDir dir;
    std::vector<uint8_t> idx;
    put32(idx, 1);
    putEntry(idx, "k", 0, 7, kFlagCompressed);
    // One compressed chunk whose copy reaches before the start of the output.
    std::string data = {5, 0, 0x40, char(0x80), 0x00, 0x01, 0x10};
    std::string name = dir.file("z.qdb");
    test::writeFile(name, container(data, idx));
    TRecordFile f;
    f.SetReadOnly(true);
    f.SetFileName(name);
    f.First();
    std::vector<uint8_t> got;
    EXPECT_THROW(f.Get(got), ERecIndexError);
}

} // namespace
} // namespace quillon::records
