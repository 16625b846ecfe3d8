#include "faximage/fax_unpacker.h"

#include <algorithm>
#include <cctype>

#include "comm/error_codes.h"

namespace quillon::faximage {

namespace {

bool equalNoCase(const std::string &a, const std::string &b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

} // namespace

TCustomFaxUnpacker::~TCustomFaxUnpacker() = default;

void TCustomFaxUnpacker::SetOptions(uint8_t options) {
    options_ = options;
    if (engine_) {
        if ((options & uoYield) != 0) {
            engine_->SetOptions(ufYield);
        } else {
            engine_->ClearOptions(ufYield);
        }
        if ((options & uoAbort) != 0) {
            engine_->SetOptions(ufAbort);
        }
    }
}

void TCustomFaxUnpacker::SetInFileName(const std::string &name) {
    if (equalNoCase(name, inFileName_)) {
        inFileName_ = name;
        return;
    }
    inFileName_ = name;
    std::string base = name;
    size_t slash = base.find_last_of("/\\");
    size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        base.erase(dot);
    }
    OutFileName = base;
}

void TCustomFaxUnpacker::rebuildEngine() {
    engine_.reset();
    auto consumer = [this](TUnpackEngine &, TLineKind kind, const uint8_t *data, uint32_t page,
                           uint32_t length) -> int32_t {
        if (OnOutputLine) {
            OnOutputLine(this, kind == TLineKind::kStartPage, kind == TLineKind::kEndPage, data,
                         static_cast<int>(length), static_cast<int>(page));
        }
        return 0;
    };
    engine_ = std::make_unique<TUnpackEngine>(this, consumer);
    engine_->ClearOptions(0xFFFF);
    if ((options_ & uoYield) != 0) {
        engine_->SetOptions(ufYield);
    }
    if (AutoScaleMode == TAutoScaleMode::asDoubleHeight) {
        engine_->SetOptions(ufDoubleHeight);
    } else if (AutoScaleMode == TAutoScaleMode::asHalfWidth) {
        engine_->SetOptions(ufHalfWidth);
    }
    if (WhitespaceCompression) {
        comm::CheckException(this, engine_->SetWhitespaceCompression(WhitespaceFrom, WhitespaceTo));
    }
    if (Scaling) {
        engine_->SetScaling(horizMult_, horizDiv_, vertMult_, vertDiv_);
    }
    engine_->SetStatusRoutine([this](TUnpackEngine &, const std::string &name, uint32_t page,
                                     uint32_t done, uint32_t total) {
        if (OnStatus) {
            OnStatus(this, name, static_cast<int>(page), static_cast<int>(done),
                     static_cast<int>(total));
        }
    });
    engine_->SetDecoder(decoder_);
    if (quitCheck_) {
        engine_->SetQuitCheck(quitCheck_);
    }
}

int TCustomFaxUnpacker::PageCount() {
    rebuildEngine();
    fax::TApfFileHeader header;
    if (comm::CheckException(this, engine_->ReadFileHeader(inFileName_, header)) != 0) {
        return 0;
    }
    return header.pageCount;
}

bool TCustomFaxUnpacker::FirstPageFine() {
    rebuildEngine();
    fax::TApfPageHeader page;
    if (comm::CheckException(this, engine_->ReadPageHeader(inFileName_, 1, page)) != 0) {
        return false;
    }
    return page.Fine();
}

bool TCustomFaxUnpacker::FirstPageWide() {
    rebuildEngine();
    fax::TApfPageHeader page;
    if (comm::CheckException(this, engine_->ReadPageHeader(inFileName_, 1, page)) != 0) {
        return false;
    }
    return page.Wide();
}

std::unique_ptr<TFaxBitmap> TCustomFaxUnpacker::UnpackPageToBitmap(int page) {
    rebuildEngine();
    TUnpackResult result;
    int32_t rc = engine_->UnpackPageToBitmap(
        inFileName_, page < 0 ? 0u : static_cast<uint32_t>(page), true, result);
    if (comm::CheckException(this, rc) != 0 || !result.bitmap) {
        return std::make_unique<TFaxBitmap>();
    }
    return std::move(result.bitmap);
}

void TCustomFaxUnpacker::UnpackPage(int page) {
    rebuildEngine();
    (void)comm::CheckException(
        this, engine_->UnpackPage(inFileName_, page < 0 ? 0u : static_cast<uint32_t>(page)));
}

} // namespace quillon::faximage
