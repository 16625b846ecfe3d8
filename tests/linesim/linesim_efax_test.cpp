// An independent receiver through the simulator: efax (Debian's efax 0.9a) receives in
// Class 1, Class 2 and Class 2.0, and the pages it stores must decode to the sent pages.
// The fault modes are checked against what efax and the caller then report.

#include "linesim_process.h"
#include "tiff_pages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace quillon::linesim::testing;
namespace fs = std::filesystem;

namespace {

std::string fax(const char *name) {
    return std::string(QUILLON_TEST_FAXES_DIR) + "/" + name;
}

constexpr const char *kEfax = "/usr/bin/efax";

struct EfaxCall {
    LinesimProcess sim;
    ChildProcess efax;
    fs::path dir;
    int efaxStatus = -1;
    std::optional<LinesimResult> result;

    EfaxCall() {
        char tmpl[] = "/tmp/linesim-efax-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~EfaxCall() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Runs one call: the simulator with `simArgs`, efax with -o`efaxClass`.
    void run(const std::string &efaxClass, std::vector<std::string> simArgs, int timeoutMs) {
        simArgs.insert(simArgs.begin(), {"--verbose", "--first-ring-ms", "100",
                                         "--ring-interval-ms", "2000", "--linger-ms", "25000"});
        ASSERT_TRUE(sim.start(simArgs)) << sim.firstLine() << sim.logText();
        ASSERT_TRUE(efax.start({kEfax, "-d", sim.slavePath(), "-o" + efaxClass, "-r",
                                (dir / "rx").string(), "-v", "ewinchr"},
                               (dir / "efax.log").string()));
        efaxStatus = efax.wait(timeoutMs);
        result = sim.waitResult(timeoutMs);
        EXPECT_EQ(sim.exitStatus(5000), 0) << "the simulator failed or leaked:\n" << sim.logText();
    }

    // The pages efax stored (rx.001, rx.002, ...), in order.
    std::vector<Bitmap> stored() const {
        std::vector<Bitmap> pages;
        for (int n = 1;; ++n) {
            char name[16];
            std::snprintf(name, sizeof name, "rx.%03d", n);
            if (!fs::exists(dir / name)) {
                break;
            }
            std::vector<Bitmap> one;
            EXPECT_EQ(readTiffPages((dir / name).string(), one), "") << name;
            pages.insert(pages.end(), one.begin(), one.end());
        }
        return pages;
    }

    std::string logs() const {
        return "--- efax:\n" + efax.logText() + "--- linesim:\n" + sim.logText();
    }
};

std::vector<Bitmap> sentPages(const char *file) {
    std::vector<Bitmap> pages;
    EXPECT_EQ(readTiffPages(fax(file), pages), "");
    return pages;
}

void expectSamePages(const std::vector<Bitmap> &got, const std::vector<Bitmap> &want,
                     const std::string &logs) {
    ASSERT_EQ(got.size(), want.size()) << logs;
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(pixelDifference(got[i], want[i]), 0) << "page " << i + 1;
    }
}

bool efaxAvailable() {
    return access(kEfax, X_OK) == 0;
}

} // namespace

class LinesimEfax : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!efaxAvailable()) {
            GTEST_SKIP() << "efax is not installed (scripts/packages/linesim.txt lists it)";
        }
    }
};

TEST_F(LinesimEfax, Class1ThreePageFineFax) {
    EfaxCall call;
    call.run("1", {"--class", "1", fax("text_fine_3p.tif")}, 150000);
    EXPECT_EQ(call.efaxStatus, 0) << call.logs();
    ASSERT_TRUE(call.result) << call.logs();
    EXPECT_EQ(call.result->status, 0) << call.result->line;
    EXPECT_EQ(call.result->pagesSent, 3) << call.result->line;
    expectSamePages(call.stored(), sentPages("text_fine_3p.tif"), call.logs());
}

TEST_F(LinesimEfax, Class2OnePageStandardFax) {
    EfaxCall call;
    call.run("2", {"--class", "2", fax("text_std_1p.tif")}, 120000);
    EXPECT_EQ(call.efaxStatus, 0) << call.logs();
    ASSERT_TRUE(call.result) << call.logs();
    EXPECT_EQ(call.result->modemClass, "2");
    EXPECT_EQ(call.result->status, 0) << call.result->line;
    expectSamePages(call.stored(), sentPages("text_std_1p.tif"), call.logs());
}

TEST_F(LinesimEfax, Class20ThreePageFineFax) {
    EfaxCall call;
    call.run("0", {"--class", "2.0", fax("text_fine_3p.tif")}, 200000);
    EXPECT_EQ(call.efaxStatus, 0) << call.logs();
    ASSERT_TRUE(call.result) << call.logs();
    EXPECT_EQ(call.result->modemClass, "2.0");
    EXPECT_EQ(call.result->status, 0) << call.result->line;
    expectSamePages(call.stored(), sentPages("text_fine_3p.tif"), call.logs());
}

TEST_F(LinesimEfax, Class1DropInPageTwoKeepsPageOne) {
    EfaxCall call;
    call.run("1", {"--class", "1", "--drop-in-page", "2:3000", fax("text_fine_3p.tif")}, 150000);
    ASSERT_TRUE(call.result) << call.logs();
    EXPECT_EQ(call.result->status, 49) << call.result->line;
    EXPECT_EQ(call.result->pagesSent, 1);
    const auto got = call.stored();
    ASSERT_EQ(got.size(), 1u) << call.logs();
    EXPECT_EQ(pixelDifference(got[0], sentPages("text_fine_3p.tif")[0]), 0);
}

TEST_F(LinesimEfax, Class1ModemVanishingInPageTwo) {
    EfaxCall call;
    call.run("1", {"--class", "1", "--vanish", "page:2:2000", fax("text_fine_3p.tif")}, 150000);
    ASSERT_TRUE(call.result) << call.logs();
    EXPECT_EQ(call.result->status, 49) << call.result->line;
    EXPECT_EQ(call.result->pagesSent, 1);
    EXPECT_NE(call.efaxStatus, 0) << "efax cannot succeed without its modem";
    const auto got = call.stored();
    ASSERT_GE(got.size(), 1u) << call.logs();
    EXPECT_EQ(pixelDifference(got[0], sentPages("text_fine_3p.tif")[0]), 0);
}

TEST_F(LinesimEfax, Class1NoDcnStillDeliversThePage) {
    EfaxCall call;
    call.run("1", {"--class", "1", "--no-dcn", fax("text_std_1p.tif")}, 150000);
    ASSERT_TRUE(call.result) << call.logs();
    EXPECT_EQ(call.result->status, 0) << call.result->line;
    EXPECT_EQ(call.result->pagesSent, 1);
    expectSamePages(call.stored(), sentPages("text_std_1p.tif"), call.logs());
}

TEST_F(LinesimEfax, Class1NoiseBurstDamagesSomeLinesOnly) {
    EfaxCall call;
    call.run("1", {"--class", "1", "--noise", "1:4000:400:-20", fax("text_std_1p.tif")}, 150000);
    ASSERT_TRUE(call.result) << call.logs();
    const auto got = call.stored();
    ASSERT_EQ(got.size(), 1u) << call.logs();
    const auto want = sentPages("text_std_1p.tif")[0];
    // The burst garbles lines inside it; efax repairs what it can, so the page may differ in
    // size and content there, but most of it must be intact.
    long rowsSame = 0;
    for (int y = 0; y < std::min(got[0].rows, want.rows); ++y) {
        rowsSame += std::equal(got[0].pixels.begin() + long(y) * want.width,
                               got[0].pixels.begin() + long(y + 1) * want.width,
                               want.pixels.begin() + long(y) * want.width);
    }
    EXPECT_GT(rowsSame, want.rows / 4) << call.logs();
    EXPECT_NE(got[0], want) << "a noise burst that damages nothing is no fault";
    EXPECT_NE(call.efax.logText().find("reception errors"), std::string::npos) << call.logs();
}
