// quillon-logs run as a separate program on real log files: the listing, the check, the
// errors, and that neither touches the file.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sys/wait.h>

#include "records/call_logs.h"
#include "test_util.h"

namespace quillon::records {
namespace {

struct Result {
    int exitCode;
    std::string out;
};

Result runTool(const std::string &args) {
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

TEST(LogsTool, ListsChecksAndLeavesTheFileAlone) {
    test::TempDir dir;
    {
        TCallLog in(TLogKind::Incoming);
        in.Open(dir.path());
        in.AddIncoming({"12/09/2026 01:15 AM", false, "", "faxes\\b.APF", true});
        in.AddIncoming({"12/09/2026 01:17 AM", true, "line dropped", "faxes\\a.APF", false});
    }
    std::string file = dir.file("vIn.qdb");
    std::vector<uint8_t> before = test::readFile(file);
    Result list = runTool("list " + file);
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out, "Date/Time\tError?\tError Message\tFax?\tFax Filename\n"
                        "12/09/2026 01:17 AM\tYes\tline dropped\tNo\tfaxes\\a.APF\n"
                        "12/09/2026 01:15 AM\tNo\t\tYes\tfaxes\\b.APF\n");
    Result check = runTool("check " + file);
    EXPECT_EQ(check.exitCode, 0) << check.out;
    EXPECT_EQ(test::readFile(file), before);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"vIn.qdb"});

    // An empty queue lists its header only.
    {
        TCallLog q(TLogKind::SendQueue);
        q.Open(dir.path());
    }
    list = runTool("list " + dir.file("sque.qdb"));
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out, "Status\tDate/Time Added\tFilename\n");

    // A malformed file and a store that is no log.
    std::vector<uint8_t> cut(before.begin(), before.end() - 10);
    test::writeFile(dir.file("bad.qdb"), cut);
    check = runTool("check " + dir.file("bad.qdb"));
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_EQ(check.out, "The file " + dir.file("bad.qdb") + " is not a valid QDB file\n");
    EXPECT_EQ(test::readFile(dir.file("bad.qdb")), cut);
    {
        TRecordFile plain;
        plain.SetFileName(dir.file("plain.qdb"));
    }
    list = runTool("list " + dir.file("plain.qdb"));
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_EQ(list.out, "File doesn't match panel\n");
    EXPECT_EQ(runTool("list").exitCode, 2);
}

} // namespace
} // namespace quillon::records
