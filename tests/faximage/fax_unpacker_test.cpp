// TFaxUnpacker: properties to engine, events, and engine codes raised as exceptions, on
// real APF files written by the APF writer.
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "comm/error_codes.h"
#include "faximage/fax_unpacker.h"
#include "support/fax_pages.h"

using namespace quillon::faximage;
using namespace quillon::faximage::testing;
namespace fax = quillon::fax;
namespace comm = quillon::comm;

namespace {

std::vector<uint8_t> linesPage(int lines, uint32_t lastBlack = 1727) {
    BitWriter w;
    w.eol();
    for (int i = 0; i < lines; ++i) {
        w.run(false, lastBlack - 7);
        w.run(true, 8);
        w.run(false, 1727 - lastBlack);
        w.eol();
    }
    for (int i = 0; i < 3; ++i) {
        w.eol();
    }
    return w.bytes();
}

class FaxUnpackerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = (std::filesystem::temp_directory_path() /
                 ("unpacker_" + std::to_string(::getpid()) + ".APF"))
                    .string();
        WriteApf(path_, {{0, linesPage(10)}, {fax::kApfFine, linesPage(20, 799)}});
    }
    void TearDown() override { std::filesystem::remove(path_); }
    std::string path_;
};

TEST_F(FaxUnpackerTest, PropertiesReachTheEngine) {
    TFaxUnpacker unpacker;
    unpacker.SetInFileName(path_);
    EXPECT_EQ(unpacker.OutFileName, path_.substr(0, path_.size() - 4));
    EXPECT_EQ(unpacker.PageCount(), 2);
    EXPECT_FALSE(unpacker.FirstPageFine());
    EXPECT_FALSE(unpacker.FirstPageWide());
    unpacker.OutFileName = "kept";
    unpacker.SetInFileName(path_.substr(0, path_.size() - 3) + "apf"); // same name, other case
    EXPECT_EQ(unpacker.OutFileName, "kept");
    unpacker.SetInFileName(path_);

    // Default: double height for standard pages.
    auto first = unpacker.UnpackPageToBitmap(1);
    EXPECT_EQ(first->Height(), 20u);
    EXPECT_EQ(first->Width(), 1728u);
    // asHalfWidth after asDoubleHeight: only half width.
    unpacker.AutoScaleMode = TAutoScaleMode::asHalfWidth;
    first = unpacker.UnpackPageToBitmap(1);
    EXPECT_EQ(first->Height(), 10u);
    EXPECT_EQ(first->Width(), 864u);
    EXPECT_FALSE(unpacker.Engine()->HasOption(ufDoubleHeight));
    unpacker.AutoScaleMode = TAutoScaleMode::asNone;
    EXPECT_EQ(unpacker.UnpackPageToBitmap(1)->Height(), 10u);

    auto second = unpacker.UnpackPageToBitmap(2);
    EXPECT_EQ(second->Width(), 800u);
    EXPECT_EQ(second->Height(), 20u);
    unpacker.Scaling = true;
    unpacker.SetHorizMult(0); // ignored
    unpacker.SetHorizDiv(2);
    unpacker.SetVertMult(2);
    EXPECT_EQ(unpacker.HorizMult(), 1u);
    second = unpacker.UnpackPageToBitmap(2);
    EXPECT_EQ(second->Width(), 400u);
    EXPECT_EQ(second->Height(), 40u);
}

TEST_F(FaxUnpackerTest, EventsAndAbort) {
    TFaxUnpacker unpacker;
    unpacker.SetInFileName(path_);
    std::vector<std::string> events;
    unpacker.OnOutputLine = [&](void *sender, bool starting, bool ending, const uint8_t *data,
                                int len, int pageNum) {
        EXPECT_EQ(sender, &unpacker);
        EXPECT_EQ(pageNum, 2);
        if (starting) {
            events.push_back("start");
        } else if (ending) {
            events.push_back("end");
        } else {
            ASSERT_NE(data, nullptr);
            events.push_back(std::to_string(len));
        }
    };
    int statusCalls = 0;
    unpacker.OnStatus = [&](void *, const std::string &name, int pageNum, int done, int total) {
        EXPECT_EQ(name, path_);
        EXPECT_EQ(pageNum, 2);
        EXPECT_LE(done, total);
        ++statusCalls;
    };
    unpacker.UnpackPage(2);
    ASSERT_EQ(events.size(), 22u);
    EXPECT_EQ(events.front(), "start");
    EXPECT_EQ(events[1], "216");
    EXPECT_EQ(events.back(), "end");
    EXPECT_GE(statusCalls, 1);

    // Setting uoAbort from an event stops the running unpack: EUnpackAbort.
    int lines = 0;
    unpacker.OnOutputLine = [&](void *, bool starting, bool ending, const uint8_t *, int, int) {
        if (!starting && !ending && ++lines == 3) {
            unpacker.SetOptions(uoYield | uoAbort);
        }
    };
    EXPECT_THROW(unpacker.UnpackPage(2), comm::EUnpackAbort);
    EXPECT_EQ(lines, 3);
}

TEST_F(FaxUnpackerTest, EngineCodesAreRaised) {
    TFaxUnpacker unpacker;
    unpacker.SetInFileName(path_);
    EXPECT_THROW((void)unpacker.UnpackPageToBitmap(3), comm::EFaxBadFormat);
    unpacker.WhitespaceCompression = true;
    unpacker.WhitespaceFrom = 1;
    unpacker.WhitespaceTo = 2;
    EXPECT_THROW((void)unpacker.UnpackPageToBitmap(1), comm::EBadArgument);
    unpacker.WhitespaceCompression = false;
    unpacker.SetQuitCheck([] { return true; });
    WriteApf(path_, {{fax::kApfFine, linesPage(3000)}});
    EXPECT_THROW((void)unpacker.UnpackPageToBitmap(1), comm::EGotQuitMsg);
    unpacker.SetInFileName("");
    EXPECT_THROW((void)unpacker.PageCount(), comm::EInOutError);
    std::filesystem::remove(path_);
    unpacker.SetInFileName(path_);
    try {
        (void)unpacker.PageCount();
        FAIL() << "no exception for a missing file";
    } catch (const comm::EInOutError &e) {
        EXPECT_EQ(e.errorCode(), 2);
        EXPECT_STREQ(e.what(), "File not found");
    }
    // While loading, codes are returned instead of raised.
    unpacker.SetLoading(true);
    EXPECT_EQ(unpacker.PageCount(), 0);
}

} // namespace
