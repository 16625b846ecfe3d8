#pragma once

// The unpack engine: opens an APF file, finds a page, decodes its T.4 data into scan lines,
// applies the automatic scaling (double height or half width for standard-resolution
// pages), white-space compression and inversion, and hands each line to a line consumer.
// Its built-in consumer collects the lines into a bitmap and optionally stretches it.
//
// Created per use by its owner (TFaxUnpacker, the viewer) and used on the owner's thread,
// the user-interface thread: with the yield option it lets that thread's event loop handle
// pending work while a page decodes. Every operation returns 0 or a negative code:
//   -2 empty file name; -8001 not an APF file, page beyond the page count, data missing
//   inside the page; -1002 bad white-space settings; -1003 quit while yielding; -8004 the
//   abort option was set while decoding; -8 row memory exhausted; -8005 a bitmap could not
//   be made or stretched; -8054 more than 32767 rows; the negated input/output code of a
//   failed open, seek or read; a consumer's own negative result.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comm/error_codes.h"
#include "fax/apf_file.h"
#include "faximage/fax_bitmap.h"
#include "faximage/t4_decoder.h"

namespace quillon::faximage {

// Engine option bits.
enum TUnpackFlag : uint16_t {
    ufYield = 1,
    ufDoubleHeight = 2,
    ufHalfWidth = 4,
    ufAbort = 8,
};

enum class TLineKind : int { kLine = 0, kStartPage = 1, kEndPage = 2 };

enum class TDecoderKind { kFast, kLiteral };

using comm::kErrCantMakeBitmap;
using comm::kErrGotQuit;
using comm::kErrInsufficientMemory;
using comm::kErrTooManyRows;
using comm::kErrUnpackAbort;
inline constexpr uint32_t kMaxRows = 32767;

class TUnpackEngine;

// Gets (engine, kind, line bytes, page number, length in bytes); a negative result ends the
// page with that code. Start and end of page come with no bytes.
using TLineConsumer = std::function<int32_t(TUnpackEngine &, TLineKind, const uint8_t *,
                                            uint32_t page, uint32_t length)>;
// Gets (engine, file name, page number, image bytes read so far, image length).
using TStatusRoutine = std::function<void(TUnpackEngine &, const std::string &, uint32_t page,
                                          uint32_t bytesUnpacked, uint32_t bytesToUnpack)>;

struct TUnpackResult {
    uint32_t width = 0;  // pixels
    uint32_t height = 0; // rows
    // The bitmap; empty for a page without lines or when the memory-result flag is set.
    std::unique_ptr<TFaxBitmap> bitmap;
    // With the memory-result flag: the rows themselves, each rowBytes (even) long.
    std::vector<uint8_t> rows;
    uint32_t rowBytes = 0;
};

class TUnpackEngine : private TLineSink {
  public:
    explicit TUnpackEngine(void *owner = nullptr, TLineConsumer consumer = {});
    ~TUnpackEngine() override;
    TUnpackEngine(const TUnpackEngine &) = delete;
    TUnpackEngine &operator=(const TUnpackEngine &) = delete;

    [[nodiscard]] void *Owner() const { return owner_; }

    // Double height and half width exclude each other: setting one while the other is set
    // clears both first; asking for both at once is ignored.
    void SetOptions(uint16_t bits);
    void ClearOptions(uint16_t bits) { options_ = static_cast<uint16_t>(options_ & ~bits); }
    [[nodiscard]] bool HasOption(uint16_t bit) const { return (options_ & bit) != 0; }
    [[nodiscard]] uint16_t Options() const { return options_; }

    void SetStatusRoutine(TStatusRoutine routine) { status_ = std::move(routine); }
    void SetLineConsumer(TLineConsumer consumer) { consumer_ = std::move(consumer); }
    // from < to, or from 0 with to not 0: -1002. from 0 and to 0 turn compression off.
    [[nodiscard]] int32_t SetWhitespaceCompression(uint32_t from, uint32_t to);
    // Factors of 0 are read as 1.
    void SetScaling(uint32_t horizMult, uint32_t horizDiv, uint32_t vertMult, uint32_t vertDiv);
    void SetMemoryResult(bool on) { memoryResult_ = on; }
    // The production decoder or the literal bit walk (the reference, for tests).
    void SetDecoder(TDecoderKind kind) { decoder_ = kind; }
    void SetFillMode(TFillMode fill) { fill_ = fill; }
    // Asked after each yield whether the thread was told to quit (the quit is then left
    // pending for the thread's own loop and the page ends with -1003).
    void SetQuitCheck(std::function<bool()> check) { quitCheck_ = std::move(check); }

    [[nodiscard]] int32_t ReadFileHeader(const std::string &fileName, fax::TApfFileHeader &h);
    // Page 0 only checks the file.
    [[nodiscard]] int32_t ReadPageHeader(const std::string &fileName, uint32_t page,
                                         fax::TApfPageHeader &h);
    [[nodiscard]] static bool IsApfFile(const std::string &fileName);

    // Decodes the page and passes its lines to the line consumer.
    [[nodiscard]] int32_t UnpackPage(const std::string &fileName, uint32_t page);
    // Decodes the page into a bitmap (or rows, with the memory-result flag).
    [[nodiscard]] int32_t UnpackPageToBitmap(const std::string &fileName, uint32_t page,
                                             bool invert, TUnpackResult &result);
    // The same on an already opened source (memory buffers for tests and fuzzing).
    [[nodiscard]] int32_t UnpackPage(fax::TApfSource &source, const std::string &name,
                                     uint32_t page);
    [[nodiscard]] int32_t UnpackPageToBitmap(fax::TApfSource &source, const std::string &name,
                                             uint32_t page, bool invert, TUnpackResult &result);

    // State of the last unpack.
    [[nodiscard]] uint32_t InvalidCodes() const { return invalidCodes_; }
    [[nodiscard]] uint32_t LinesHandled() const { return linesHandled_; }
    [[nodiscard]] const fax::TApfPageHeader &PageHeader() const { return pageHeader_; }
    [[nodiscard]] const fax::TApfFileHeader &FileHeader() const { return fileHeader_; }

  private:
    struct Builder;
    int32_t OnLine(const uint8_t *line, uint32_t bytes, uint32_t ink) override;
    int32_t decodePage(fax::TApfSource &source, const std::string &name, uint32_t page);
    int32_t releaseBlankRun(bool endOfPage);
    int32_t deliver(const uint8_t *raw, uint32_t n, uint32_t ink);
    int32_t emit(const uint8_t *raw, uint32_t n, uint32_t ink);
    int32_t consume(TLineKind kind, const uint8_t *data, uint32_t n);
    int32_t yieldAndCheck();

    void *owner_;
    TLineConsumer consumer_;
    TStatusRoutine status_;
    std::function<bool()> quitCheck_;
    uint16_t options_ = ufYield | ufDoubleHeight;
    uint32_t wsFrom_ = 0;
    uint32_t wsTo_ = 0;
    uint32_t horizMult_ = 1, horizDiv_ = 1, vertMult_ = 1, vertDiv_ = 1;
    bool invert_ = false;
    bool memoryResult_ = false;
    TDecoderKind decoder_ = TDecoderKind::kFast;
    TFillMode fill_ = TFillMode::kAcceptFill;

    uint32_t currentPage_ = 0;
    uint32_t linesHandled_ = 0;
    uint32_t blankRun_ = 0;
    uint32_t invalidCodes_ = 0;
    fax::TApfFileHeader fileHeader_;
    fax::TApfPageHeader pageHeader_;
    Builder *builder_ = nullptr; // the built-in consumer while unpacking to a bitmap
    alignas(8) uint8_t work_[fax::kApfPageBufferSize];
    alignas(8) uint8_t lineArea_[TT4Decoder::kLineArea + 16];
    alignas(8) uint8_t invertArea_[TT4Decoder::kLineArea + 16];
    alignas(8) uint8_t blankArea_[TT4Decoder::kLineArea + 16] = {};
};

} // namespace quillon::faximage
