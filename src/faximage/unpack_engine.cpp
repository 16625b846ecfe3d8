#include "faximage/unpack_engine.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/event_loop.h"

namespace quillon::faximage {

namespace {

// Half width: each pair of neighbouring pixels becomes one, black when either was black.
struct PairTable {
    uint8_t nibble[256];
    PairTable() {
        for (unsigned b = 0; b < 256; ++b) {
            unsigned v = 0;
            for (unsigned pair = 0; pair < 4; ++pair) {
                if (((b >> (6 - 2 * pair)) & 3u) != 0) {
                    v |= 8u >> pair;
                }
            }
            nibble[b] = static_cast<uint8_t>(v);
        }
    }
};
const PairTable kPairs;

} // namespace

// The built-in consumer: rows of a fixed stride, grown 1024 rows at a time, each row padded
// with white; the widest used width decides the final row length.
struct TUnpackEngine::Builder {
    static constexpr uint32_t kBlockRows = 1024;
    uint32_t stride = 216;
    uint32_t rows = 0;
    uint32_t widest = 1;
    bool invert = false;
    // Row memory in blocks of 1024 rows; rows are written whole, so blocks need no clearing.
    std::vector<std::unique_ptr<uint8_t[]>> blocks;

    int32_t start(bool wide) {
        stride = wide ? 256 : 216;
        rows = 0;
        widest = 1;
        blocks.clear();
        return grow();
    }

    int32_t grow() {
        try {
            blocks.emplace_back(new uint8_t[size_t{kBlockRows} * stride]);
        } catch (const std::bad_alloc &) {
            return kErrInsufficientMemory;
        }
        return 0;
    }

    [[nodiscard]] const uint8_t *row(uint32_t y) const {
        return blocks[y / kBlockRows].get() + size_t{y % kBlockRows} * stride;
    }

    // `ink`: pixels up to and including the line's last black one; the used width is the
    // line without its trailing white bytes.
    int32_t add(const uint8_t *raw, uint32_t n, uint32_t ink) {
        if (rows >= kMaxRows) {
            return kErrTooManyRows;
        }
        if (rows == blocks.size() * kBlockRows) {
            if (int32_t rc = grow(); rc != 0) {
                return rc;
            }
        }
        uint8_t *dst = blocks.back().get() + size_t{rows % kBlockRows} * stride;
        const uint32_t m = std::min({(ink + 7) / 8, n, stride});
        if (invert) {
            uint32_t i = 0;
            for (; i + 8 <= m; i += 8) {
                uint64_t w;
                std::memcpy(&w, raw + i, 8);
                w = ~w;
                std::memcpy(dst + i, &w, 8);
            }
            for (; i < m; ++i) {
                dst[i] = static_cast<uint8_t>(~raw[i]);
            }
        } else {
            std::memcpy(dst, raw, m);
        }
        std::memset(dst + m, invert ? 0xFF : 0x00, stride - m);
        widest = std::max(widest, m);
        ++rows;
        return 0;
    }
};

TUnpackEngine::TUnpackEngine(void *owner, TLineConsumer consumer)
    : owner_(owner), consumer_(std::move(consumer)) {}

TUnpackEngine::~TUnpackEngine() = default;

void TUnpackEngine::SetOptions(uint16_t bits) {
    const uint16_t scale = ufDoubleHeight | ufHalfWidth;
    if ((bits & scale) == scale) {
        bits = static_cast<uint16_t>(bits & ~scale);
    } else if ((bits & scale) != 0) {
        options_ = static_cast<uint16_t>(options_ & ~scale);
    }
    options_ = static_cast<uint16_t>(options_ | bits);
}

int32_t TUnpackEngine::SetWhitespaceCompression(uint32_t from, uint32_t to) {
    if (from < to || (from == 0 && to != 0)) {
        return fax::kErrBadArgument;
    }
    wsFrom_ = from;
    wsTo_ = to;
    return 0;
}

void TUnpackEngine::SetScaling(uint32_t horizMult, uint32_t horizDiv, uint32_t vertMult,
                               uint32_t vertDiv) {
    horizMult_ = horizMult == 0 ? 1 : horizMult;
    horizDiv_ = horizDiv == 0 ? 1 : horizDiv;
    vertMult_ = vertMult == 0 ? 1 : vertMult;
    vertDiv_ = vertDiv == 0 ? 1 : vertDiv;
}

int32_t TUnpackEngine::ReadFileHeader(const std::string &fileName, fax::TApfFileHeader &h) {
    return fax::ReadFileHeader(fileName, h);
}

int32_t TUnpackEngine::ReadPageHeader(const std::string &fileName, uint32_t page,
                                      fax::TApfPageHeader &h) {
    return fax::ReadPageHeader(fileName, page, h);
}

bool TUnpackEngine::IsApfFile(const std::string &fileName) {
    return fax::IsApfFile(fileName);
}

int32_t TUnpackEngine::consume(TLineKind kind, const uint8_t *data, uint32_t n) {
    if (builder_ != nullptr) {
        if (kind == TLineKind::kStartPage) {
            return builder_->start(pageHeader_.Wide());
        }
        return kind == TLineKind::kLine ? builder_->add(data, n, n * 8) : 0;
    }
    if (!consumer_) {
        return 0;
    }
    int32_t rc = consumer_(*this, kind, data, currentPage_, n);
    return rc < 0 ? rc : 0;
}

int32_t TUnpackEngine::emit(const uint8_t *raw, uint32_t n, uint32_t ink) {
    if (builder_ != nullptr) {
        return builder_->add(raw, n, ink); // inverts while copying
    }
    const uint8_t *data = raw;
    if (invert_ && n > 0) {
        for (uint32_t i = 0; i < n; ++i) {
            invertArea_[i] = static_cast<uint8_t>(~raw[i]);
        }
        data = invertArea_;
    }
    return consume(TLineKind::kLine, data, n);
}

int32_t TUnpackEngine::deliver(const uint8_t *raw, uint32_t n, uint32_t ink) {
    if (!pageHeader_.Fine()) {
        if (HasOption(ufDoubleHeight)) {
            if (int32_t rc = emit(raw, n, ink); rc != 0) {
                return rc;
            }
        } else if (HasOption(ufHalfWidth) && n > 0) {
            n /= 2;
            ink = (ink + 1) / 2;
            for (uint32_t i = 0; i < n; ++i) {
                lineArea_[i] = static_cast<uint8_t>((kPairs.nibble[raw[2 * i]] << 4) |
                                                    kPairs.nibble[raw[2 * i + 1]]);
            }
            raw = lineArea_;
        }
    }
    return emit(raw, n, ink);
}

int32_t TUnpackEngine::releaseBlankRun(bool endOfPage) {
    if (blankRun_ == 0) {
        return 0;
    }
    uint32_t count = blankRun_ >= wsFrom_ ? wsTo_ : blankRun_;
    if (endOfPage && wsFrom_ == wsTo_) {
        count = 0;
    }
    blankRun_ = 0;
    for (uint32_t i = 0; i < count; ++i) {
        ++linesHandled_;
        if (int32_t rc = deliver(blankArea_, 0, 0); rc != 0) {
            return rc;
        }
    }
    return 0;
}

int32_t TUnpackEngine::OnLine(const uint8_t *line, uint32_t bytes, uint32_t ink) {
    ++linesHandled_;
    int32_t rc = 0;
    if (wsFrom_ != 0 && wsTo_ != 0 && ink == 0) {
        ++blankRun_;
    } else {
        rc = releaseBlankRun(false);
        if (rc == 0) {
            rc = deliver(line, bytes, ink);
        }
    }
    if (rc == 0 && HasOption(ufAbort)) {
        rc = kErrUnpackAbort;
    }
    return rc;
}

int32_t TUnpackEngine::yieldAndCheck() {
    if (HasOption(ufYield)) {
        auto &loop = platform::EventLoop::current();
        loop.pump();
        if (quitCheck_ ? quitCheck_() : loop.quitPending()) {
            return kErrGotQuit;
        }
    }
    return HasOption(ufAbort) ? kErrUnpackAbort : 0;
}

int32_t TUnpackEngine::findPage(fax::TApfSource &source, uint32_t page, uint64_t &dataOffset) {
    // Pages are chained, each header giving the next one's place. For pages taken in order
    // from one source the walk goes on from the page before, so that a whole file costs one
    // walk, not one per page.
    const bool onward = walkSource_ == &source && walkPage_ >= 1 && walkPage_ < page &&
                        page <= fileHeader_.pageCount;
    uint32_t n = onward ? walkPage_ : 1;
    uint64_t offset = onward ? walkOffset_ : fileHeader_.firstPageOffset;
    if (!onward) {
        if (page > fileHeader_.pageCount) {
            return fax::kErrNotApfFile;
        }
    }
    uint8_t bytes[fax::kApfPageHeaderSize];
    for (;; ++n) {
        size_t got = 0;
        if (int32_t rc = source.ReadAt(offset, bytes, sizeof bytes, got); rc != 0) {
            return rc;
        }
        if (got != sizeof bytes) {
            return fax::kErrNotApfFile;
        }
        pageHeader_.Decode(bytes);
        if (n == page) {
            break;
        }
        offset += fax::kApfPageHeaderSize + static_cast<uint64_t>(pageHeader_.imageLength);
    }
    dataOffset = offset + fax::kApfPageHeaderSize;
    if (walkSource_ == &source) {
        walkPage_ = page;
        walkOffset_ = offset;
    }
    return 0;
}

int32_t TUnpackEngine::decodePage(fax::TApfSource &source, const std::string &name, uint32_t page) {
    invalidCodes_ = 0;
    damagedRows_ = 0;
    linesHandled_ = 0;
    blankRun_ = 0;
    if (int32_t rc = fax::ReadFileHeader(source, fileHeader_); rc != 0) {
        return rc;
    }
    if (page == 0) {
        return fax::kErrNotApfFile;
    }
    uint64_t dataOffset = 0;
    if (int32_t rc = findPage(source, page, dataOffset); rc != 0) {
        return rc;
    }
    currentPage_ = page;
    if (int32_t rc = consume(TLineKind::kStartPage, nullptr, 0); rc != 0) {
        return rc;
    }
    const TT4Tables &tables = TT4Tables::Get(fill_);
    auto decoder = std::make_unique<TT4Decoder>(tables);
    fax::TApfPageData data(source, dataOffset, pageHeader_);
    int32_t result = 0;
    for (;;) {
        size_t got = 0;
        if (int32_t rc = data.Next(work_, got); rc != 0) {
            result = rc;
            break;
        }
        if (got == 0) {
            result = decoder->Finish(*this);
            break;
        }
        int32_t rc = decoder_ == TDecoderKind::kFast ? decoder->Decode(work_, got, *this)
                                                     : decoder->DecodeLiteral(work_, got, *this);
        if (rc == TT4Decoder::kPageEnd) {
            break;
        }
        if (rc == 0) {
            rc = yieldAndCheck();
        }
        if (rc != 0) {
            result = rc;
            break;
        }
        if (status_) {
            status_(*this, name, page, data.BytesRead(), pageHeader_.imageLength);
        }
    }
    invalidCodes_ = decoder->invalidCodes();
    damagedRows_ = decoder->damagedRows();
    if (damagedRows_ == 0 && decoder->linesDecoded() == 0 && data.BytesRead() > 0) {
        damagedRows_ = 1; // data that gave not a single row is a damaged page, not a blank one
    }
    if (result != 0) {
        return result;
    }
    if (int32_t rc = releaseBlankRun(true); rc != 0) {
        return rc;
    }
    if (status_) {
        status_(*this, name, page, data.BytesRead(), pageHeader_.imageLength);
    }
    return consume(TLineKind::kEndPage, nullptr, 0);
}

int32_t TUnpackEngine::UnpackPage(fax::TApfSource &source, const std::string &name, uint32_t page) {
    return decodePage(source, name, page);
}

int32_t TUnpackEngine::UnpackPage(const std::string &fileName, uint32_t page) {
    fax::TApfFileSource file;
    if (int32_t rc = file.Open(fileName); rc != 0) {
        return rc;
    }
    return decodePage(file, fileName, page);
}

int32_t TUnpackEngine::UnpackPageToBitmap(const std::string &fileName, uint32_t page, bool invert,
                                          TUnpackResult &result) {
    fax::TApfFileSource file;
    if (int32_t rc = file.Open(fileName); rc != 0) {
        result = TUnpackResult{};
        return rc;
    }
    return UnpackPageToBitmap(file, fileName, page, invert, result);
}

int32_t TUnpackEngine::UnpackPageToBitmap(fax::TApfSource &source, const std::string &name,
                                          uint32_t page, bool invert, TUnpackResult &result) {
    result = TUnpackResult{};
    Builder builder;
    builder.invert = invert;
    const bool savedInvert = invert_;
    invert_ = invert;
    builder_ = &builder;
    int32_t rc = decodePage(source, name, page);
    builder_ = nullptr;
    invert_ = savedInvert;
    if (rc != 0 || builder.rows == 0) {
        return rc;
    }

    const uint32_t rowBytes = (builder.widest + 1) & ~1u;
    std::vector<uint8_t> rows;
    try {
        rows.resize(size_t{rowBytes} * builder.rows);
    } catch (const std::bad_alloc &) {
        return kErrInsufficientMemory;
    }
    for (uint32_t y = 0; y < builder.rows; ++y) {
        std::memcpy(rows.data() + size_t{y} * rowBytes, builder.row(y), rowBytes);
    }
    builder.blocks.clear();
    auto bitmap =
        std::make_unique<TFaxBitmap>(rowBytes * 8, builder.rows, rowBytes, invert, std::move(rows));
    if (horizMult_ != horizDiv_ || vertMult_ != vertDiv_) {
        uint64_t width = uint64_t{bitmap->Width()} * horizMult_ / horizDiv_;
        uint64_t height = uint64_t{bitmap->Height()} * vertMult_ / vertDiv_;
        if (height > kMaxRows) {
            return kErrTooManyRows;
        }
        TFaxBitmap stretched;
        if (width == 0 || height == 0 || width > 65535 ||
            !StretchBitmap(*bitmap, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                           stretched)) {
            return kErrCantMakeBitmap;
        }
        *bitmap = std::move(stretched);
    }
    result.width = bitmap->Width();
    result.height = bitmap->Height();
    if (memoryResult_) {
        result.rowBytes = bitmap->Stride();
        result.rows = bitmap->Bits();
    } else {
        result.bitmap = std::move(bitmap);
    }
    return 0;
}

} // namespace quillon::faximage
