// The reference call: the simulator's caller against spandsp's own receiving fax machine,
// stepped at full speed (line time, not wall time). It gives the reference session times
// and checks the caller's fault modes where no pty receiver is needed.

#include "linesim_process.h"
#include "tiff_pages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

using namespace quillon::linesim::testing;

namespace {

std::string fax(const char *name) {
    return std::string(QUILLON_TEST_FAXES_DIR) + "/" + name;
}

struct RefRun {
    LinesimResult result;
    std::vector<Bitmap> received;
};

// Runs a reference call; `extra` adds fault options.
RefRun runReference(const char *file, std::vector<std::string> extra = {}) {
    RefRun run;
    char tmpl[] = "/tmp/linesim-ref-XXXXXX.tif";
    int fd = mkstemps(tmpl, 4);
    EXPECT_GE(fd, 0);
    close(fd);
    std::vector<std::string> argv{LinesimProcess::binaryPath(), "--reference-receiver", "--fast",
                                  "--rx-file", tmpl};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(fax(file));
    ChildProcess p;
    EXPECT_TRUE(p.start(argv));
    for (;;) {
        auto line = p.readLine(100000);
        if (!line) {
            ADD_FAILURE() << "no RESULT line; log:\n" << p.logText();
            break;
        }
        if (parseResultLine(*line, run.result)) {
            break;
        }
    }
    EXPECT_EQ(p.wait(10000), 0);
    (void)readTiffPages(tmpl, run.received); // empty when nothing was received
    unlink(tmpl);
    return run;
}

} // namespace

TEST(LinesimReference, OnePageAndThreePageFaxesArriveIntactAndGiveTheSessionTime) {
    struct Row {
        const char *file;
        int pages;
    };
    for (const Row &row :
         {Row{"text_fine_1p.tif", 1}, Row{"text_fine_3p.tif", 3}, Row{"wide_2048_1p.tif", 1}}) {
        RefRun run = runReference(row.file);
        EXPECT_EQ(run.result.modemClass, "reference");
        EXPECT_EQ(run.result.status, 0) << run.result.line;
        EXPECT_EQ(run.result.pagesSent, row.pages) << run.result.line;
        std::vector<Bitmap> sent;
        ASSERT_EQ(readTiffPages(fax(row.file), sent), "");
        ASSERT_EQ(run.received.size(), sent.size()) << row.file;
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(pixelDifference(run.received[i], sent[i]), 0)
                << row.file << " page " << i + 1;
        }
        // At 14400 bit/s a page of ~25-30 KB takes 15-20 s, plus about 12 s of T.30.
        EXPECT_GT(run.result.durationS, 10.0 * row.pages) << run.result.line;
        EXPECT_LT(run.result.durationS, 45.0 * row.pages) << run.result.line;
        std::printf("reference session: %s -> %s\n", row.file, run.result.line.c_str());
        ::testing::Test::RecordProperty(std::string("duration_") + row.file,
                                        std::to_string(run.result.durationS));
    }
}

TEST(LinesimReference, SlowerModemsTakeLonger) {
    RefRun fast = runReference("text_std_1p.tif");
    RefRun slow = runReference("text_std_1p.tif", {"--modems", "v27ter"});
    EXPECT_EQ(fast.result.status, 0);
    EXPECT_EQ(slow.result.status, 0) << slow.result.line;
    EXPECT_EQ(slow.result.pagesSent, 1);
    // 4800 against 14400 bit/s: the page itself takes three times as long.
    EXPECT_GT(slow.result.durationS, fast.result.durationS + 20) << slow.result.line;
}

TEST(LinesimReference, DropInPageTwoGivesStatus49AndKeepsPageOne) {
    RefRun run =
        runReference("text_fine_3p.tif", {"--drop-in-page", "2:2000", "--linger-ms", "20000"});
    EXPECT_EQ(run.result.status, 49) << run.result.line;
    EXPECT_EQ(run.result.statusText, "The call dropped prematurely");
    EXPECT_EQ(run.result.pagesSent, 1);
}

TEST(LinesimReference, NoDcnLeavesTheCallerSatisfied) {
    RefRun run = runReference("text_std_1p.tif", {"--no-dcn", "--linger-ms", "20000"});
    // The caller believes it sent DCN; its verdict is OK and the page arrived.
    EXPECT_EQ(run.result.status, 0) << run.result.line;
    EXPECT_EQ(run.result.pagesSent, 1);
    EXPECT_EQ(run.received.size(), 1u);
}
