#pragma once

// The APF fax file: a 64-byte file header followed by the pages, each a 16-byte page header
// and the page's T.4 image data exactly as the modem delivered it (first-transmitted bit in
// the least significant bit of each byte). All numbers are little-endian.
//
// File header (64 bytes):
//   0  6  "APF10" 1Ah
//   6  4  MS-DOS packed local date and time of the last header update (0 outside 1980-2099)
//   10 21 remote station id: length byte (0..20) and 20 character bytes
//   31 1  reserved (0)
//   32 2  number of complete pages
//   34 4  offset of the first page header (64)
//   38 26 reserved (0)
// Page header (16 bytes): 0 4 image length; 4 2 flags (kApfFine, kApfWide, kApfBlockMode);
// 6 10 reserved (0). Pages follow each other without gaps.
//
// Errors are the library's codes (comm/error_codes.h): -8001 "File is not an APF file" for
// every malformed file, -2 "File not found" for an empty name, the platform's input/output
// code (negated) for a failed open, seek, read or write, -160 for a short write.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "comm/error_codes.h"

namespace quillon::fax {

inline constexpr size_t kApfFileHeaderSize = 64;
inline constexpr size_t kApfPageHeaderSize = 16;
inline constexpr size_t kApfStationIdMax = 20;
inline constexpr size_t kApfPageBufferSize = 4096;
inline constexpr uint8_t kApfSignature[6] = {'A', 'P', 'F', '1', '0', 0x1A};

using comm::kErrBadArgument;
using comm::kErrDeviceRead;
using comm::kErrDeviceWrite;
using comm::kErrFileNotFound;
using comm::kErrFileNotOpen;
using comm::kErrNotApfFile;

// Page flags.
enum TApfPageFlag : uint16_t {
    kApfFine = 1,      // 7.7 lines/mm; clear: standard, 3.85 lines/mm
    kApfWide = 2,      // 2048 pixels per line; clear: 1728
    kApfBlockMode = 4, // image data is a chain of 16-bit-length blocks (never written here)
};

struct TApfFileHeader {
    uint32_t stamp = 0;
    uint8_t idLength = 0;
    uint8_t idBytes[kApfStationIdMax] = {};
    uint16_t pageCount = 0;
    uint32_t firstPageOffset = kApfFileHeaderSize;
    // The remaining bytes as read (reserved fields), kept so that a rewrite preserves them.
    uint8_t raw[kApfFileHeaderSize] = {};

    [[nodiscard]] std::string StationId() const;
    void Encode(uint8_t out[kApfFileHeaderSize]) const;
    // Returns false when the signature does not match.
    [[nodiscard]] bool Decode(const uint8_t in[kApfFileHeaderSize]);
};

struct TApfPageHeader {
    uint32_t imageLength = 0;
    uint16_t flags = 0;

    [[nodiscard]] bool Fine() const { return (flags & kApfFine) != 0; }
    [[nodiscard]] bool Wide() const { return (flags & kApfWide) != 0; }
    [[nodiscard]] bool BlockMode() const { return (flags & kApfBlockMode) != 0; }
    [[nodiscard]] uint32_t Width() const { return Wide() ? 2048 : 1728; }
    void Encode(uint8_t out[kApfPageHeaderSize]) const;
    void Decode(const uint8_t in[kApfPageHeaderSize]);
};

// MS-DOS packed date and time: bits 0-4 seconds/2, 5-10 minutes, 11-15 hours, 16-20 day,
// 21-24 month, 25-31 year - 1980; 0 when the year is outside 1980..2099.
[[nodiscard]] uint32_t DosStamp(const std::tm &local);
[[nodiscard]] uint32_t DosStampNow();

// Writes one received fax, page by page, for the receive engine. Owned by the fax session
// and used on the dispatch thread only. The order of calls for one call:
//
//   OpenFaxFile(path, remoteId)           when the call is accepted
//   for each page:
//     BeginPage(flags)                    when the page's carrier is reported
//     AppendPageData(bytes) ...           as the data arrives, DLE escapes already removed
//     EndPage()                           when the page is confirmed good (or the call
//                                         fails while the page is open: the partial page is
//                                         kept and counted)
//     or DiscardPage()                    when the modem reports the page as bad
//   FinishFaxFile()                       at the end of the call, good or failed
//
// Page data goes through a 4096-byte buffer that is written out whenever it is full and by
// EndPage. After each EndPage the file header (page count, stamp, real-length station id)
// and the page's header (final image length) are on disk, so a file left by a call that
// broke off is readable up to its last completed page. A discarded page is cut off the file
// and the next BeginPage takes its place; the page count is unchanged.
//
// Every operation returns 0 or a negative code; after a write failure the call should be
// aborted (FinishFaxFile still closes the file, which stays on disk).
class TApfWriter {
  public:
    TApfWriter() = default;
    ~TApfWriter();
    TApfWriter(const TApfWriter &) = delete;
    TApfWriter &operator=(const TApfWriter &) = delete;

    // Creates (or truncates) the file and writes the header: signature, current stamp, the
    // remote id padded with spaces to 20 characters (length byte 20), page count 0, first
    // page offset 64. Ids longer than 20 characters are cut.
    [[nodiscard]] int32_t OpenFaxFile(const std::string &path, std::string_view remoteId);
    // The remote id as it now stands; written with its real length by the next EndPage.
    void SetRemoteId(std::string_view remoteId);
    // Writes a page header (image length 0, the given flags) at the end of the file.
    [[nodiscard]] int32_t BeginPage(uint16_t flags);
    [[nodiscard]] int32_t AppendPageData(std::span<const uint8_t> bytes);
    [[nodiscard]] int32_t AppendPageByte(uint8_t byte);
    // Writes out the page buffer (EndPage does this itself).
    [[nodiscard]] int32_t FlushPageBuffer();
    // Counts the open page: rewrites the file header and the page's header, returns to the
    // end of the file. -1002 when no page is open.
    [[nodiscard]] int32_t EndPage();
    // Cuts the open page (header and data) off the file. -1002 when no page is open.
    [[nodiscard]] int32_t DiscardPage();
    // Closes the file. A page still open is left as it is on disk (not counted); call
    // EndPage first to keep it.
    [[nodiscard]] int32_t FinishFaxFile();

    [[nodiscard]] bool IsOpen() const { return file_ != nullptr; }
    [[nodiscard]] bool PageOpen() const { return pageOpen_; }
    [[nodiscard]] uint16_t PageCount() const { return header_.pageCount; }
    // Image bytes stored for the open page so far (buffered ones included).
    [[nodiscard]] uint32_t PageBytes() const { return pageBytes_; }
    [[nodiscard]] const std::string &FileName() const { return path_; }

    // Replaces the clock behind the stamp (tests).
    void SetStampSource(std::function<uint32_t()> source) { stampSource_ = std::move(source); }

  private:
    [[nodiscard]] int32_t writeAt(uint64_t offset, const uint8_t *data, size_t n);
    [[nodiscard]] int32_t writeHeader();

    std::FILE *file_ = nullptr;
    std::string path_;
    TApfFileHeader header_;
    std::string remoteId_;
    bool pageOpen_ = false;
    uint16_t pageFlags_ = 0;
    uint64_t pageOffset_ = 0; // offset of the open page's header
    uint64_t endOffset_ = 0;  // end of the data written so far
    uint32_t pageBytes_ = 0;
    size_t bufferUsed_ = 0;
    uint8_t buffer_[kApfPageBufferSize] = {};
    std::function<uint32_t()> stampSource_;
};

// Where a reader takes its bytes from: a file or a buffer in memory (fuzzing, tests).
class TApfSource {
  public:
    virtual ~TApfSource() = default;
    // Reads up to n bytes at offset; got is set to the count (0 at or past the end).
    [[nodiscard]] virtual int32_t ReadAt(uint64_t offset, uint8_t *buf, size_t n, size_t &got) = 0;
};

// A file opened read-only; closed by the destructor.
class TApfFileSource : public TApfSource {
  public:
    TApfFileSource() = default;
    ~TApfFileSource() override;
    TApfFileSource(const TApfFileSource &) = delete;
    TApfFileSource &operator=(const TApfFileSource &) = delete;
    // -2 for an empty name, else the negated platform code when the file cannot be opened.
    [[nodiscard]] int32_t Open(const std::string &path);
    void Close();
    [[nodiscard]] int32_t ReadAt(uint64_t offset, uint8_t *buf, size_t n, size_t &got) override;

  private:
    std::FILE *file_ = nullptr;
    uint64_t position_ = UINT64_MAX;
};

class TApfMemorySource : public TApfSource {
  public:
    explicit TApfMemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    [[nodiscard]] int32_t ReadAt(uint64_t offset, uint8_t *buf, size_t n, size_t &got) override;

  private:
    std::span<const uint8_t> bytes_;
};

// Reads and checks the 64-byte header: -8001 when it is short or the signature differs.
[[nodiscard]] int32_t ReadFileHeader(TApfSource &source, TApfFileHeader &header);

// Finds page `page` (1-based) by walking the page chain from the first page offset; gives
// its header and the offset of its image data. -8001 when the page number exceeds the page
// count or a page header in the chain is missing. Page 0 only checks the file header.
[[nodiscard]] int32_t FindPage(TApfSource &source, const TApfFileHeader &header, uint32_t page,
                               TApfPageHeader &pageHeader, uint64_t &dataOffset);

// The same operations by file name; the file is opened and closed within the call.
[[nodiscard]] int32_t ReadFileHeader(const std::string &path, TApfFileHeader &header);
[[nodiscard]] int32_t ReadPageHeader(const std::string &path, uint32_t page,
                                     TApfPageHeader &pageHeader);
// True when the file opens and its first six bytes are the signature.
[[nodiscard]] bool IsApfFile(const std::string &path);

// Hands out one page's image data in pieces of at most 4096 bytes, never beyond the page's
// image length or the end of the source. Continuous pages are read as one run; block-mode
// pages as a chain of blocks (16-bit length, then that many bytes, of which at most 4096 are
// used), the chain too bounded by the image length.
class TApfPageData {
  public:
    static constexpr size_t kChunk = 4096;
    TApfPageData(TApfSource &source, uint64_t dataOffset, const TApfPageHeader &header)
        : source_(source), offset_(dataOffset), header_(header) {}
    // Fills buf (kChunk bytes) and sets got; got 0 means the page's data is used up.
    // -8001 when the source ends inside the page, or the source's read error.
    [[nodiscard]] int32_t Next(uint8_t *buf, size_t &got);
    // Image bytes consumed so far, at most the image length.
    [[nodiscard]] uint32_t BytesRead() const { return static_cast<uint32_t>(consumed_); }

  private:
    TApfSource &source_;
    uint64_t offset_;
    TApfPageHeader header_;
    uint64_t consumed_ = 0;
};

} // namespace quillon::fax
