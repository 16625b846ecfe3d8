#include "fax/fax_status.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "fax/receive_fax.h"

namespace quillon::fax {

// ---- TMeter ----

void TMeter::SetBounds(int width, int height) {
    width_ = width;
    height_ = height;
    Recompute();
}

void TMeter::SetRange(int min, int max) {
    min_ = min;
    max_ = max;
    Recompute();
}

void TMeter::SetPosition(int position) {
    position_ = position;
    Recompute();
}

void TMeter::SetStep(int step) {
    step_ = step > 0 ? step : 1;
    Recompute();
}

void TMeter::Recompute() {
    int blocks = 0;
    int partial = 0;
    if (position_ > min_) {
        int span = max_ - min_;
        int perRow = (width_ - 3) / step_;
        // A range of zero width counts as full.
        blocks = span > 0 ? (position_ - min_) * perRow / span + 1 : perRow + 1;
        if (blocks * step_ > width_ - 4) {
            blocks = std::max(0, (width_ - 4) / step_);
            partial = std::max(0, (width_ - 4) % step_);
        }
    }
    bool changed = blocks != blocks_ || (partial != 0) != (partial_ != 0);
    blocks_ = blocks;
    partial_ = partial;
    if (changed && OnPosChange) {
        OnPosChange(*this);
    }
}

TMeter::Rect TMeter::BlockRect(int i) const {
    return {i * step_ + 2, 2, (i + 1) * step_, height_ - 2};
}

TMeter::Rect TMeter::PartialRect() const {
    int left = blocks_ * step_ + 2;
    return {left, 2, left + partial_, height_ - 2};
}

bool TMeter::BevelColors(uint32_t &leftTop, uint32_t &rightBottom) const {
    switch (BevelStyle) {
    case bsLowered:
        leftTop = BevelColor2;
        rightBottom = BevelColor1;
        return true;
    case bsRaised:
        leftTop = BevelColor1;
        rightBottom = BevelColor2;
        return true;
    default:
        return false;
    }
}

// ---- TStandardFaxDisplay ----

TStandardFaxDisplay::TStandardFaxDisplay() {
    fsMeter.SetBounds(406, 20);
    fsMeter.SetStep(10);
    NowMs = [] {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    };
}

std::string TStandardFaxDisplay::FormatElapsed(uint64_t ms) {
    uint64_t secs = ms / 1000;
    char buf[32];
    std::snprintf(
        buf, sizeof buf, "%6s",
        (std::to_string(secs / 60) + ":" + (secs % 60 < 10 ? "0" : "") + std::to_string(secs % 60))
            .c_str());
    return buf;
}

void TStandardFaxDisplay::Show() {
    Visible = true;
    if (OnChanged) {
        OnChanged();
    }
}

void TStandardFaxDisplay::Hide() {
    Visible = false;
    if (OnChanged) {
        OnChanged();
    }
}

void TStandardFaxDisplay::UpdateValues(TCustomAbstractFax &fax) {
    const int p = fax.SessionProgress();
    const uint64_t now = NowMs();
    if (!timing_ && (p == progSessionParams || p == progRemoteID)) {
        timing_ = true;
        startMs_ = now;
    } else if (timing_ && (p == progUserAbort || p == progFinished || p == progGotHangupCode)) {
        timing_ = false;
    }
    if (!redialWait_ && p == progBusyRedial) {
        redialWait_ = true;
        redialStartMs_ = now;
    } else if (redialWait_ && p != progBusyRedial) {
        redialWait_ = false;
    }

    if (fax.IsReceiver()) {
        fsPhoneNumber.clear();
        std::string file = fax.FaxFile();
        size_t slash = file.find_last_of("/\\");
        if (slash != std::string::npos) {
            file.erase(0, slash + 1);
        }
        if (file.size() > 20) {
            file = file.substr(0, 20) + "...";
        }
        fsFaxFileName = file;
        fsCoverFileName.clear();
        fsDialAttempt = "1";
    }
    fsTotalPages = std::to_string(fax.TotalPages());
    fsRemoteID = fax.RemoteStationName();
    fsDamagedRows = std::to_string(fax.DamagedRows()) + " rows, " +
                    std::to_string(fax.PagesRejected()) + " pages refused";
    fsConnectBPS = std::to_string(fax.ConnectBPS());
    fsResolution = fax.FineResolution() ? "high" : "standard";
    fsWidth = fax.WidePage() ? "2048" : "1728";
    fsErrorControl = fax.ErrorCorrection() ? "on" : "off";
    uint16_t page = fax.CurrentPage();
    fsCurrentPage = page == 0 ? "<cover page>" : std::to_string(page);
    fsPageLength = std::to_string(fax.PageLength());
    fsBytesTransferred = std::to_string(fax.BytesTransferred());
    fsElapsedTime = timing_ ? FormatElapsed(now - startMs_) : "00:00";
    fsStatusMsg = TCustomAbstractFax::StatusMessage(p);
    if (p == progBusyRedial) {
        fsStatusMsg += FormatElapsed(now - redialStartMs_);
    }
    if (fax.IsReceiver()) {
        fsMeter.Visible = false;
        fsLabel19 = "Page progress: N/A";
    } else {
        fsMeter.Visible = true;
        fsMeter.SetRange(0, 100);
        int32_t length = fax.PageLength();
        int pos = length == 0
                      ? 0
                      : static_cast<int>(
                            (static_cast<double>(fax.BytesTransferred()) / length * 100.0) + 0.5);
        fsMeter.SetPosition(pos);
    }
    if (OnChanged) {
        OnChanged();
    }
}

// ---- TAbstractFaxStatus ----

TAbstractFaxStatus::TAbstractFaxStatus(std::string name) : comm::TBaseComponent(std::move(name)) {}

TAbstractFaxStatus::~TAbstractFaxStatus() {
    if (fax_ != nullptr && fax_->statusDisplay_ == this) {
        fax_->statusDisplay_ = nullptr;
    }
}

void TAbstractFaxStatus::SetFax(TCustomAbstractFax *fax) {
    if (fax == fax_) {
        return;
    }
    TCustomAbstractFax *old = fax_;
    fax_ = fax;
    if (old != nullptr && old->statusDisplay_ == this) {
        old->statusDisplay_ = nullptr;
    }
    if (fax != nullptr && fax->statusDisplay_ != this) {
        fax->SetStatusDisplay(this);
    }
    if (display_) {
        display_->Fax = fax;
    }
}

void TAbstractFaxStatus::SetCaption(const std::string &caption) {
    caption_ = caption;
    if (display_) {
        display_->Caption = caption;
    }
}

void TAbstractFaxStatus::SetVisible(bool visible) {
    visible_ = visible;
    if (display_) {
        display_->Visible = visible;
    }
}

void TAbstractFaxStatus::CreateDisplay() {
    display_ = std::make_unique<TStandardFaxDisplay>();
    display_->Fax = fax_;
    display_->Caption = caption_;
}

void TAbstractFaxStatus::DestroyDisplay() {
    display_.reset();
}

void TAbstractFaxStatus::UpdateDisplay(bool First, bool Last) {
    if (!display_) {
        return;
    }
    if (First) {
        display_->Fax = fax_;
        display_->Show();
    }
    if (Last) {
        display_->Hide();
        return;
    }
    if (display_->Fax != nullptr) {
        display_->UpdateValues(*display_->Fax);
    }
}

void TAbstractFaxStatus::CancelClick() {
    if (display_ && display_->Fax != nullptr) {
        if (auto *rx = dynamic_cast<TCustomReceiveFax *>(display_->Fax)) {
            rx->AbortSession();
        }
    }
}

TFaxStatus::TFaxStatus(std::string name) : TAbstractFaxStatus(std::move(name)) {
    CreateDisplay();
    // The window's initial state becomes the properties.
    SetCaption(display_->Caption);
    SetVisible(display_->Visible);
}

} // namespace quillon::fax
