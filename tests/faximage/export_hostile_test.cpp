// Fax files built to hurt the export: many pages, damaged page data, outputs that cannot be
// written, and a process short of memory. The exports and quillon-convert must stay linear,
// bounded in memory, say what was damaged, and never leave a torn output behind.
#include <gtest/gtest.h>

#include <tiffio.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fax/apf_file.h"
#include "faximage/fax_export.h"
#include "faximage/unpack_engine.h"
#include "support/fax_pages.h"

using namespace quillon::faximage;
using namespace quillon::faximage::testing;
namespace fax = quillon::fax;

namespace {

// Runs a command with stderr in the output and stdin closed.
std::string run(const std::string &command, int *status) {
    std::string out;
    FILE *pipe = ::popen((command + " 2>&1 </dev/null").c_str(), "r");
    char buf[4096];
    size_t n = 0;
    while (pipe != nullptr && (n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        out.append(buf, n);
    }
    *status = pipe != nullptr ? ::pclose(pipe) : -1;
    return out;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class ExportHostileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("export_hostile_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::vector<G3Page> pages = {
            {ReadPbm(std::string(FAXIMAGE_PAGESET_DIR) + "/text_fine.pbm"), true}};
        std::string tiff = (dir_ / "in.tif").string();
        WriteG3Tiff(tiff, pages, false);
        text_ = ReadRawStrips(tiff)[0];
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    std::filesystem::path dir_;
    std::vector<uint8_t> text_; // a real fine text page, G3
};

// Counts every read, so that the work of a walk through the pages shows.
class CountingSource : public fax::TApfSource {
  public:
    explicit CountingSource(const std::vector<uint8_t> &bytes) : inner_(bytes) {}
    int32_t ReadAt(uint64_t offset, uint8_t *buf, size_t n, size_t &got) override {
        ++reads;
        return inner_.ReadAt(offset, buf, n, got);
    }
    size_t reads = 0;

  private:
    fax::TApfMemorySource inner_;
};

TEST_F(ExportHostileTest, PagesInOrderCostOneWalkOfTheChain) {
    // 3000 pages of one end-of-line each: reading them in order must cost a few reads a
    // page, not a walk from page 1 for each.
    const uint32_t kPages = 3000;
    std::vector<ApfPage> pages(kPages, ApfPage{0, {0x00, 0x80}});
    WriteApf(path("many.apf"), pages);
    std::vector<uint8_t> bytes = ReadFile(path("many.apf"));
    CountingSource source(bytes);
    TUnpackEngine engine(
        nullptr, [](TUnpackEngine &, TLineKind, const uint8_t *, uint32_t, uint32_t) { return 0; });
    engine.ClearOptions(0xFFFF);
    engine.WalkPagesOf(&source);
    for (uint32_t page = 1; page <= kPages; ++page) {
        ASSERT_EQ(engine.UnpackPage(source, "many.apf", page), 0) << page;
    }
    EXPECT_LT(source.reads, 5u * kPages);
    // Asked out of order, a page is still found from the start.
    ASSERT_EQ(engine.UnpackPage(source, "many.apf", 2), 0);
}

TEST_F(ExportHostileTest, DamagedRowsAreReportedAndMarkedInTheTiff) {
    std::mt19937 random(7);
    std::vector<uint8_t> noise(3000);
    for (uint8_t &b : noise) {
        b = static_cast<uint8_t>(random());
    }
    WriteApf(path("damaged.apf"), {{fax::kApfFine, text_}, {fax::kApfFine, noise}});
    TExportReport report;
    ASSERT_EQ(ExportFaxToTiff(path("damaged.apf"), path("damaged.tif"), TiffCoding::G3, &report),
              0);
    ASSERT_EQ(report.damagedRows.size(), 2u);
    EXPECT_EQ(report.damagedRows[0], 0u);
    EXPECT_GT(report.damagedRows[1], 0u);
    TIFF *t = TIFFOpen(path("damaged.tif").c_str(), "r");
    ASSERT_NE(t, nullptr);
    uint16_t clean = 99;
    uint32_t bad = 0;
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_CLEANFAXDATA, &clean));
    EXPECT_EQ(clean, CLEANFAXDATA_CLEAN);
    ASSERT_TRUE(TIFFReadDirectory(t));
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_CLEANFAXDATA, &clean));
    EXPECT_EQ(clean, CLEANFAXDATA_UNCLEAN);
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_BADFAXLINES, &bad));
    EXPECT_EQ(bad, report.damagedRows[1]);
    TIFFClose(t);

    // A page of nothing but invalid codes is no clean blank page either.
    WriteApf(path("invalid.apf"), {{0, std::vector<uint8_t>(500, 0x55)}});
    int status = 0;
    std::string out =
        run(std::string(QUILLON_CONVERT) + " '" + path("invalid.apf") + "' '" + path("i.pdf") + "'",
            &status);
    EXPECT_EQ(WEXITSTATUS(status), 3) << out;
    EXPECT_NE(out.find("invalid.apf: page 1: "), std::string::npos) << out;
    EXPECT_NE(out.find(" damaged rows"), std::string::npos) << out;
    out =
        run(std::string(QUILLON_CONVERT) + " '" + path("damaged.apf") + "' '" + path("d.pdf") + "'",
            &status);
    EXPECT_EQ(WEXITSTATUS(status), 3) << out;
    EXPECT_EQ(out.find("page 1:"), std::string::npos) << out;
    EXPECT_NE(out.find("page 2: " + std::to_string(report.damagedRows[1]) + " damaged rows"),
              std::string::npos)
        << out;
}

TEST_F(ExportHostileTest, FailedExportLeavesTheEarlierOutputAndNoPart) {
    // The second page's data is cut off: the export fails after writing the first page.
    WriteApf(path("cut.apf"), {{fax::kApfFine, text_}, {fax::kApfFine, text_}});
    std::filesystem::resize_file(path("cut.apf"),
                                 std::filesystem::file_size(path("cut.apf")) - 100);
    for (const char *name : {"old.tif", "old.pdf"}) {
        std::ofstream(path(name)) << "the earlier export";
        EXPECT_EQ(ExportFax(path("cut.apf"), path(name)), fax::kErrNotApfFile) << name;
        EXPECT_EQ(slurp(path(name)), "the earlier export") << name;
        EXPECT_FALSE(std::filesystem::exists(path(name) + ".part")) << name;
    }
}

TEST_F(ExportHostileTest, ErrorsNameTheFileTheyConcern) {
    WriteApf(path("ok.apf"), {{fax::kApfFine, text_}});
    const std::string tool = QUILLON_CONVERT;
    for (const std::string &g4 : {std::string(), std::string("--g4 ")}) {
        int status = 0;
        std::string out =
            run(tool + " " + g4 + "'" + path("ok.apf") + "' /nonexistent/dir/x.tif", &status);
        EXPECT_EQ(WEXITSTATUS(status), 1) << out;
        EXPECT_NE(out.find("quillon-convert: /nonexistent/dir/x.tif: "), std::string::npos) << out;
        EXPECT_EQ(out.find("ok.apf"), std::string::npos) << out;
        out = run(tool + " " + g4 + "/nonexistent.apf '" + path("x.tif") + "'", &status);
        EXPECT_EQ(WEXITSTATUS(status), 1) << out;
        EXPECT_EQ(out.rfind("quillon-convert: /nonexistent.apf: ", 0), 0u) << out;
        EXPECT_EQ(out.find("--g4:"), std::string::npos) << out;
    }
}

// quillon-convert in a child of its own, optionally under an address-space limit: its exit
// status and its peak resident memory in KiB.
std::pair<int, long> convertInChild(const std::string &in, const std::string &out,
                                    uint64_t limitMb = 0) {
    pid_t child = ::fork();
    if (child == 0) {
        if (limitMb != 0) {
            rlimit limit{limitMb << 20, limitMb << 20};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        int fd = ::open("/dev/null", O_WRONLY);
        ::dup2(fd, 2);
        ::execl(QUILLON_CONVERT, QUILLON_CONVERT, in.c_str(), out.c_str(),
                static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    return {status, usage.ru_maxrss};
}

TEST_F(ExportHostileTest, MemoryDoesNotGrowWithThePageCount) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer keeps freed memory in quarantine: peaks measure it";
#endif
    // 150 real fine pages would be some 70 MB of bitmaps held at once.
    WriteApf(path("short.apf"), std::vector<ApfPage>(4, ApfPage{fax::kApfFine, text_}));
    WriteApf(path("long.apf"), std::vector<ApfPage>(150, ApfPage{fax::kApfFine, text_}));
    for (const char *ext : {".pdf", ".tif"}) {
        auto [shortStatus, shortPeak] = convertInChild(path("short.apf"), path("s") + ext);
        auto [longStatus, longPeak] = convertInChild(path("long.apf"), path("l") + ext);
        ASSERT_TRUE(WIFEXITED(shortStatus) && WEXITSTATUS(shortStatus) == 0) << ext;
        ASSERT_TRUE(WIFEXITED(longStatus) && WEXITSTATUS(longStatus) == 0) << ext;
        EXPECT_LT(longPeak, shortPeak + 16 * 1024)
            << ext << ": " << shortPeak << " KiB for 4 pages, " << longPeak << " KiB for 150";
    }
}

TEST_F(ExportHostileTest, ShortOfMemoryTheExportFailsCleanlyNeverCrashes) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
#else
    WriteApf(path("some.apf"), std::vector<ApfPage>(12, ApfPage{fax::kApfFine, text_}));
    // From far too little to plenty: each limit gives success or a clean failure (exit 1,
    // "Insufficient memory" when it is the memory), never a signal, never a part file left.
    bool succeeded = false;
    for (uint64_t mb = 16; mb <= 256; mb += 16) {
        for (const char *ext : {".pdf", ".tif"}) {
            auto [status, peak] = convertInChild(path("some.apf"), path("tight") + ext, mb);
            ASSERT_TRUE(WIFEXITED(status))
                << mb << " MB " << ext << ": signal " << WTERMSIG(status);
            // 127: too little even to start the program.
            EXPECT_TRUE(WEXITSTATUS(status) <= 1 || WEXITSTATUS(status) == 127)
                << mb << " MB " << ext << ": exit " << WEXITSTATUS(status);
            EXPECT_FALSE(std::filesystem::exists(path("tight") + ext + ".part")) << mb << " MB";
            succeeded = succeeded || WEXITSTATUS(status) == 0;
        }
    }
    EXPECT_TRUE(succeeded);
#endif
}

} // namespace
