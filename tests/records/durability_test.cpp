// Crash durability of the three logs. A child process adds records the way the server
// does (incoming call, queue entry, sent mail) and reports each index on a pipe once all
// three adding procedures have returned; it also closes and reopens its logs now and then
// so that kills land inside the container rebuild too. The parent kills it with SIGKILL at
// a random moment, checks that the container alone is still a complete valid file, then
// reopens the logs and expects every reported record to be there and no working file left.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <set>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "records/call_logs.h"
#include "test_util.h"

namespace quillon::records {
namespace {

std::string faxName(int i) {
    return "faxes\\K" + std::to_string(100000 + i) + ".APF";
}

[[noreturn]] void childLoop(const std::string &dir, int first, int out) {
    try {
        auto in = std::make_unique<TCallLog>(TLogKind::Incoming);
        auto q = std::make_unique<TCallLog>(TLogKind::SendQueue);
        auto sent = std::make_unique<TCallLog>(TLogKind::Outgoing);
        in->Open(dir);
        q->Open(dir);
        sent->Open(dir);
        for (int i = first;; ++i) {
            std::string name = faxName(i);
            in->AddIncoming({"12/09/2026 01:15 AM", false, "", name, true});
            q->AddQueued({name, "Q", "12/09/2026 01:15 AM"});
            sent->AddSentMail({"12/09/2026 01:16 AM", "", false, "S", "12/09/2026 01:16 AM", name});
            if (::write(out, &i, sizeof i) != sizeof i) {
                ::_exit(3);
            }
            if (i % 7 == 3) {
                in->Close();
                in->Open(dir);
            }
            if (i % 11 == 5) {
                sent->Close();
                sent->Open(dir);
            }
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "child: %s\n", e.what());
        ::_exit(2);
    }
}

TEST(Durability, KillNineLosesNoReportedRecord) {
    test::TempDir dir;
    std::mt19937 rng(12345);
    std::set<int> confirmed;
    int next = 0;
    const int rounds = 20;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            childLoop(dir.path(), next, fds[1]);
        }
        ::close(fds[1]);
        // Wait for the first record, then let it run a random while and kill it.
        pollfd p{fds[0], POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 20000), 1);
        ::usleep(std::uniform_int_distribution<int>(0, 40000)(rng));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended on its own, status " << status;
        int i = 0;
        while (::read(fds[0], &i, sizeof i) == sizeof i) {
            confirmed.insert(i);
            next = std::max(next, i + 1);
        }
        ::close(fds[0]);

        // Each container is complete on its own, whatever the journal holds.
        for (const char *name : {"vIn.qdb", "sque.qdb", "vOut.qdb"}) {
            std::string copy = dir.file(std::string("copy-") + name);
            std::filesystem::copy_file(dir.file(name), copy,
                                       std::filesystem::copy_options::overwrite_existing);
            TRecordFile alone;
            alone.SetReadOnly(true);
            EXPECT_NO_THROW(alone.SetFileName(copy)) << name;
            alone.Close();
            std::filesystem::remove(copy);
        }

        // The survivor reopens everything it had been told was written.
        {
            TCallLog in(TLogKind::Incoming);
            TCallLog q(TLogKind::SendQueue);
            TCallLog sent(TLogKind::Outgoing);
            in.Open(dir.path());
            q.Open(dir.path());
            sent.Open(dir.path());
            for (int k : confirmed) {
                ASSERT_TRUE(in.View().FindKey(faxName(k))) << k;
                ASSERT_TRUE(q.View().FindKey(faxName(k))) << k;
                ASSERT_TRUE(sent.View().FindKey(faxName(k))) << k;
            }
            // At most the one record in flight beyond what was reported.
            EXPECT_LE(in.View().Count(), static_cast<int>(confirmed.size()) + 1);
            in.Refresh();
            EXPECT_EQ(in.Grid().Cell(4, 1), faxName(*confirmed.begin()));
        }
        // Closed cleanly: only the three containers remain.
        std::vector<std::string> names = dir.names();
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"sque.qdb", "vIn.qdb", "vOut.qdb"}));
    }
    EXPECT_GT(confirmed.size(), static_cast<size_t>(rounds));
    std::printf("%zu records confirmed over %d kills\n", confirmed.size(), rounds);
}

TEST(Durability, LeftoversOfACrashAreRecoveredOrCleaned) {
    test::TempDir dir;
    std::string name = dir.file("r.qdb");
    {
        TRecordFile f;
        f.SetFileName(name);
        f.Add(test::bytesOf("one"), "one");
    }
    std::vector<uint8_t> container = test::readFile(name);
    // A process that added a record and died: its journal is there, the container old.
    pid_t child = ::fork();
    if (child == 0) {
        TRecordFile f;
        f.SetFileName(name);
        f.Add(test::bytesOf("two"), "two");
        test::writeFile(name + ".qdd", {1, 2, 3}); // a rebuild cut short
        ::_exit(0);                                // no Close
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(std::filesystem::exists(name + ".qjl"));
    EXPECT_EQ(test::readFile(name), container);

    TRecordFile f;
    f.SetFileName(name);
    EXPECT_EQ(f.RecoveredChanges(), 1);
    EXPECT_TRUE(f.FindKey("two"));
    EXPECT_FALSE(std::filesystem::exists(name + ".qdd"));
    // Recovery folded the change into the container at once.
    EXPECT_NE(test::readFile(name), container);
    f.Close();
    f.SetFileName(name);
    EXPECT_EQ(f.RecoveredChanges(), 0);
    EXPECT_EQ(f.Count(), 2);
}

TEST(Durability, PasswordFilesKeepTheirJournalEnciphered) {
    test::TempDir dir;
    std::string name = dir.file("pw.qdb");
    {
        TRecordFile f;
        f.SetPassword("secret");
        f.SetFileName(name);
    }
    pid_t child = ::fork();
    if (child == 0) {
        TRecordFile f;
        f.SetPassword("secret");
        f.SetFileName(name);
        f.Add(test::bytesOf("private fax text"), "k");
        ::_exit(0); // no Close
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::vector<uint8_t> journal = test::readFile(name + ".qjl");
    std::vector<uint8_t> plain = test::bytesOf("private fax text");
    EXPECT_EQ(std::search(journal.begin(), journal.end(), plain.begin(), plain.end()),
              journal.end());
    TRecordFile none; // the container has its password: the journal is not reached
    EXPECT_THROW(none.SetFileName(name), ERecInvalidPW);
    EXPECT_TRUE(std::filesystem::exists(name + ".qjl"));
    TRecordFile f;
    f.SetPassword("secret");
    f.SetFileName(name);
    ASSERT_TRUE(f.FindKey("k"));
    std::vector<uint8_t> got;
    f.Get(got);
    EXPECT_EQ(got, plain);
}

TEST(Durability, FailedOpenLeavesNoFileBehind) {
    test::TempDir dir;
    std::string name = dir.file("bad.qdb");
    test::writeFile(name, {'N', 'O', 'P', 'E'});
    TRecordFile f;
    EXPECT_THROW(f.SetFileName(name), ERecFileError);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"bad.qdb"});
}

} // namespace
} // namespace quillon::records
