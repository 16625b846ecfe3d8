// The APF fax file: byte layout written by the writer, the checks of the reader, and the
// reader's bounds on malformed files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "fax/apf_file.h"
#include "support/fax_pages.h"

using namespace quillon::fax;
using quillon::faximage::testing::ReadFile;

namespace {

class ApfFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("apf_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    std::filesystem::path dir_;
};

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
}
uint16_t le16(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

void writeBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
}

TEST(ApfStamp, PacksLocalTimeInDosFormat) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11; // December
    t.tm_mday = 9;
    t.tm_hour = 13;
    t.tm_min = 47;
    t.tm_sec = 59;
    uint32_t stamp = DosStamp(t);
    EXPECT_EQ(stamp & 0x1F, 29u);        // seconds / 2
    EXPECT_EQ((stamp >> 5) & 0x3F, 47u); // minutes
    EXPECT_EQ((stamp >> 11) & 0x1F, 13u);
    EXPECT_EQ((stamp >> 16) & 0x1F, 9u);
    EXPECT_EQ((stamp >> 21) & 0x0F, 12u);
    EXPECT_EQ(stamp >> 25, 46u);
    t.tm_year = 1979 - 1900;
    EXPECT_EQ(DosStamp(t), 0u);
    t.tm_year = 2100 - 1900;
    EXPECT_EQ(DosStamp(t), 0u);
}

TEST_F(ApfFileTest, OnePageStandardFaxLayout) {
    TApfWriter writer;
    writer.SetStampSource([] { return 0x12345678u; });
    ASSERT_EQ(writer.OpenFaxFile(path("one.apf"), "12345"), 0);

    // At creation the id is space-padded to 20 with length byte 20.
    std::vector<uint8_t> created = ReadFile(path("one.apf"));
    ASSERT_EQ(created.size(), 64u);
    EXPECT_EQ(std::string(created.begin(), created.begin() + 6), std::string("APF10\x1a", 6));
    EXPECT_EQ(le32(created, 6), 0x12345678u);
    EXPECT_EQ(created[10], 20);
    EXPECT_EQ(std::string(created.begin() + 11, created.begin() + 31), "12345               ");
    EXPECT_EQ(le16(created, 32), 0);
    EXPECT_EQ(le32(created, 34), 64u);

    std::vector<uint8_t> image(5000);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7);
    }
    ASSERT_EQ(writer.BeginPage(0), 0);
    // Through the 4096-byte buffer in pieces, one byte at a time for a while.
    ASSERT_EQ(writer.AppendPageData({image.data(), 3000}), 0);
    for (size_t i = 3000; i < 3100; ++i) {
        ASSERT_EQ(writer.AppendPageByte(image[i]), 0);
    }
    ASSERT_EQ(writer.AppendPageData({image.data() + 3100, image.size() - 3100}), 0);
    EXPECT_EQ(writer.PageBytes(), 5000u);
    ASSERT_EQ(writer.EndPage(), 0);
    ASSERT_EQ(writer.FinishFaxFile(), 0);

    std::vector<uint8_t> file = ReadFile(path("one.apf"));
    ASSERT_EQ(file.size(), 80u + image.size());
    EXPECT_EQ(le16(file, 32), 1);
    EXPECT_EQ(le32(file, 34), 64u);
    // After the first page: the real length, the padding left behind it.
    EXPECT_EQ(file[10], 5);
    EXPECT_EQ(std::string(file.begin() + 11, file.begin() + 31), "12345               ");
    for (size_t i = 31; i < 64; ++i) {
        if (i < 32 || i >= 38) {
            EXPECT_EQ(file[i], 0) << "reserved byte " << i;
        }
    }
    EXPECT_EQ(le32(file, 64), image.size());
    EXPECT_EQ(le16(file, 68), 0);
    for (size_t i = 70; i < 80; ++i) {
        EXPECT_EQ(file[i], 0);
    }
    EXPECT_TRUE(std::equal(image.begin(), image.end(), file.begin() + 80));
}

TEST_F(ApfFileTest, FlagsChainDiscardAndReader) {
    TApfWriter writer;
    ASSERT_EQ(writer.OpenFaxFile(path("multi.apf"), "a remote id longer than twenty"), 0);
    std::vector<uint8_t> a(100, 0xAA), b(7000, 0xBB), bad(300, 0xEE), c(1, 0xCC);
    ASSERT_EQ(writer.BeginPage(kApfFine), 0);
    ASSERT_EQ(writer.AppendPageData(a), 0);
    ASSERT_EQ(writer.EndPage(), 0);
    // A bad page is cut off; the next page takes its place, the count is unchanged.
    ASSERT_EQ(writer.BeginPage(kApfFine | kApfWide), 0);
    ASSERT_EQ(writer.AppendPageData(bad), 0);
    ASSERT_EQ(writer.DiscardPage(), 0);
    EXPECT_EQ(writer.PageCount(), 1);
    EXPECT_EQ(std::filesystem::file_size(path("multi.apf")), 64u + 16 + a.size());
    ASSERT_EQ(writer.BeginPage(kApfFine | kApfWide), 0);
    ASSERT_EQ(writer.AppendPageData(b), 0);
    ASSERT_EQ(writer.EndPage(), 0);
    writer.SetRemoteId("+1 555 0100");
    ASSERT_EQ(writer.BeginPage(kApfBlockMode | 0x80), 0); // only fine and wide are kept
    ASSERT_EQ(writer.AppendPageData(c), 0);
    ASSERT_EQ(writer.EndPage(), 0);
    EXPECT_EQ(writer.EndPage(), kErrBadArgument);
    EXPECT_EQ(writer.DiscardPage(), kErrBadArgument);
    ASSERT_EQ(writer.FinishFaxFile(), 0);

    std::vector<uint8_t> file = ReadFile(path("multi.apf"));
    ASSERT_EQ(file.size(), 64u + 3 * 16 + a.size() + b.size() + c.size());
    EXPECT_EQ(le16(file, 32), 3);
    EXPECT_EQ(file[10], 11);
    EXPECT_EQ(std::string(file.begin() + 11, file.begin() + 31), "+1 555 0100 longer t");

    TApfFileHeader header;
    ASSERT_EQ(ReadFileHeader(path("multi.apf"), header), 0);
    EXPECT_EQ(header.pageCount, 3);
    EXPECT_EQ(header.StationId(), "+1 555 0100");
    TApfPageHeader page;
    ASSERT_EQ(ReadPageHeader(path("multi.apf"), 1, page), 0);
    EXPECT_EQ(page.flags, 1);
    EXPECT_EQ(page.imageLength, a.size());
    ASSERT_EQ(ReadPageHeader(path("multi.apf"), 2, page), 0);
    EXPECT_EQ(page.flags, 3);
    EXPECT_EQ(page.Width(), 2048u);
    EXPECT_EQ(page.imageLength, b.size());
    ASSERT_EQ(ReadPageHeader(path("multi.apf"), 3, page), 0);
    EXPECT_EQ(page.flags, 0);
    EXPECT_EQ(page.imageLength, 1u);
    EXPECT_EQ(ReadPageHeader(path("multi.apf"), 4, page), kErrNotApfFile);
    // Page 0 only checks the file.
    EXPECT_EQ(ReadPageHeader(path("multi.apf"), 0, page), 0);

    // The page data reader hands out the second page in 4096-byte pieces.
    TApfFileSource source;
    ASSERT_EQ(source.Open(path("multi.apf")), 0);
    uint64_t offset = 0;
    ASSERT_EQ(FindPage(source, header, 2, page, offset), 0);
    TApfPageData data(source, offset, page);
    uint8_t buf[TApfPageData::kChunk];
    size_t got = 0;
    size_t total = 0;
    do {
        ASSERT_EQ(data.Next(buf, got), 0);
        for (size_t i = 0; i < got; ++i) {
            ASSERT_EQ(buf[i], 0xBB);
        }
        total += got;
    } while (got != 0);
    EXPECT_EQ(total, b.size());
    EXPECT_EQ(data.BytesRead(), b.size());
}

TEST_F(ApfFileTest, ReaderRejectsWhatIsNotAnApfFile) {
    TApfFileHeader header;
    TApfPageHeader page;
    EXPECT_EQ(ReadFileHeader(std::string(), header), kErrFileNotFound);
    EXPECT_EQ(ReadFileHeader(path("missing.apf"), header), kErrFileNotFound);
    EXPECT_FALSE(IsApfFile(path("missing.apf")));

    std::vector<uint8_t> bytes(64, 0);
    std::memcpy(bytes.data(), "APF10\x1a", 6);
    bytes[34] = 64;
    writeBytes(path("empty.apf"), bytes);
    EXPECT_TRUE(IsApfFile(path("empty.apf")));
    EXPECT_EQ(ReadPageHeader(path("empty.apf"), 0, page), 0);
    EXPECT_EQ(ReadPageHeader(path("empty.apf"), 1, page), kErrNotApfFile);

    bytes[5] = 0x1B; // wrong sixth byte
    writeBytes(path("sixth.apf"), bytes);
    EXPECT_FALSE(IsApfFile(path("sixth.apf")));
    EXPECT_EQ(ReadFileHeader(path("sixth.apf"), header), kErrNotApfFile);

    writeBytes(path("short.apf"), {'A', 'P', 'F', '1', '0', 0x1A, 0, 0});
    EXPECT_TRUE(IsApfFile(path("short.apf")));
    EXPECT_EQ(ReadFileHeader(path("short.apf"), header), kErrNotApfFile);

    // A page count of 65535 with no pages behind it: the walk ends at the missing header.
    bytes[5] = 0x1A;
    bytes[32] = 0xFF;
    bytes[33] = 0xFF;
    writeBytes(path("count.apf"), bytes);
    EXPECT_EQ(ReadPageHeader(path("count.apf"), 65535, page), kErrNotApfFile);
}

TEST(ApfPageData, BoundedByImageLengthAndSource) {
    // A page claiming 4 GB with 10 bytes behind it: 10 bytes, then -8001.
    std::vector<uint8_t> bytes(16 + 10, 0x55);
    TApfPageHeader header;
    header.imageLength = 0xFFFFFFFFu;
    TApfMemorySource source(bytes);
    TApfPageData data(source, 16, header);
    uint8_t buf[TApfPageData::kChunk];
    size_t got = 0;
    ASSERT_EQ(data.Next(buf, got), 0);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(data.Next(buf, got), kErrNotApfFile);

    // A page of length 0 has no data: the next page's bytes are not read.
    header.imageLength = 0;
    TApfPageData none(source, 16, header);
    ASSERT_EQ(none.Next(buf, got), 0);
    EXPECT_EQ(got, 0u);

    // Block mode: blocks of 3, 0 and 5000 bytes (4096 used), a block running past the page.
    std::vector<uint8_t> blocks = {3, 0, 1, 2, 3, 0, 0, 0x88, 0x13};
    blocks.resize(blocks.size() + 5000, 9);
    blocks.push_back(0xFF);
    blocks.push_back(0xFF);
    blocks.push_back(7);
    blocks.push_back(7);
    header.imageLength = static_cast<uint32_t>(blocks.size());
    header.flags = kApfBlockMode;
    TApfMemorySource blockSource(blocks);
    TApfPageData chain(blockSource, 0, header);
    ASSERT_EQ(chain.Next(buf, got), 0);
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(buf[2], 3);
    ASSERT_EQ(chain.Next(buf, got), 0);
    EXPECT_EQ(got, 4096u);
    ASSERT_EQ(chain.Next(buf, got), 0);
    EXPECT_EQ(got, 2u); // the last block is cut at the image length
    ASSERT_EQ(chain.Next(buf, got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(chain.BytesRead(), header.imageLength);
}

TEST_F(ApfFileTest, WriteFailuresAreReported) {
    TApfWriter writer;
    EXPECT_EQ(writer.OpenFaxFile(std::string(), "x"), kErrFileNotFound);
    EXPECT_EQ(writer.OpenFaxFile(path("no/such/dir/x.apf"), "x"), -2);
    EXPECT_EQ(writer.BeginPage(0), kErrBadArgument);
    if (std::filesystem::exists("/dev/full")) {
        // The disk-full device: the header write or its flush fails with "Disk is full".
        TApfWriter full;
        EXPECT_EQ(full.OpenFaxFile("/dev/full", "x", TFileCreate::Replace), -101);
    }
    // A fax file is created only where no file is: an existing one is left as it was.
    std::string taken = path("taken.apf");
    std::ofstream(taken) << "older";
    TApfWriter second;
    int32_t rc = second.OpenFaxFile(taken, "x");
    EXPECT_TRUE(IsNameTaken(rc)) << rc;
    std::ifstream in(taken);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "older");
    EXPECT_EQ(SiblingFaxName("/d/06120001.APF", 3), "/d/06120001-3.APF");
}

} // namespace
