#pragma once

// The fax status display, as models without any window code: TAbstractFaxStatus (the
// component the receive-fax component calls on every status event), TFaxStatus (its
// concrete kind), TStandardFaxDisplay (the values and texts of the status window, which the
// Qt window binds to) and TMeter (the page-progress bar's block arithmetic). All of them
// live on the user-interface thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comm/base_component.h"

namespace quillon::fax {

class TCustomAbstractFax;

enum TBevelStyle { bsLowered, bsRaised, bsNone };
enum TPosition { poDesigned, poDefault, poDefaultPosOnly, poDefaultSizeOnly, poScreenCenter };

// The page-progress bar: a row of blocks of `Step` pixels inside a bevel.
class TMeter {
  public:
    uint32_t BarColor = 0x000080;    // the highlight colour
    uint32_t BevelColor1 = 0xFFFFFF; // the button-highlight colour
    uint32_t BevelColor2 = 0x808080; // the button-shadow colour
    TBevelStyle BevelStyle = bsLowered;
    bool Visible = true;
    std::function<void(TMeter &)> OnPosChange;

    [[nodiscard]] int Width() const { return width_; }
    [[nodiscard]] int Height() const { return height_; }
    void SetBounds(int width, int height);
    [[nodiscard]] int Min() const { return min_; }
    [[nodiscard]] int Max() const { return max_; }
    void SetRange(int min, int max);
    [[nodiscard]] int Position() const { return position_; }
    void SetPosition(int position);
    [[nodiscard]] int Step() const { return step_; }
    void SetStep(int step);

    // Full blocks drawn, and the width of the partial block after them (0 = none).
    [[nodiscard]] int Blocks() const { return blocks_; }
    [[nodiscard]] int PartialWidth() const { return partial_; }
    struct Rect {
        int left, top, right, bottom;
    };
    // Block i (0-based, i < Blocks()) and the partial block.
    [[nodiscard]] Rect BlockRect(int i) const;
    [[nodiscard]] Rect PartialRect() const;
    // Bevel colours of the left/top and right/bottom edges; false for bsNone.
    bool BevelColors(uint32_t &leftTop, uint32_t &rightBottom) const;

  private:
    void Recompute();
    int width_ = 150;
    int height_ = 16;
    int min_ = 0;
    int max_ = 100;
    int position_ = 0;
    int step_ = 8;
    int blocks_ = 0;
    int partial_ = 0;
};

// The status window's contents.
class TStandardFaxDisplay {
  public:
    TStandardFaxDisplay();

    std::string Caption = "Fax Status";
    bool Visible = false;
    // Value labels.
    std::string fsPhoneNumber, fsFaxFileName, fsCoverFileName, fsTotalPages, fsDialAttempt;
    std::string fsRemoteID, fsConnectBPS, fsResolution, fsWidth, fsErrorControl;
    std::string fsDamagedRows; // damaged rows in the pages kept, and pages refused
    std::string fsCurrentPage, fsPageLength, fsBytesTransferred, fsElapsedTime, fsStatusMsg;
    std::string fsLabel19 = "Page progress:";
    TMeter fsMeter;
    // Called after every change (the window repaints).
    std::function<void()> OnChanged;

    TCustomAbstractFax *Fax = nullptr;
    // The millisecond clock behind the elapsed time (tests replace it).
    std::function<uint64_t()> NowMs;

    void UpdateValues(TCustomAbstractFax &fax);
    void Show();
    void Hide();
    [[nodiscard]] bool Timing() const { return timing_; }

    // "m:ss" right-aligned to six characters.
    static std::string FormatElapsed(uint64_t ms);

  private:
    bool timing_ = false;
    uint64_t startMs_ = 0;
    bool redialWait_ = false;
    uint64_t redialStartMs_ = 0;
};

class TAbstractFaxStatus : public comm::TBaseComponent {
  public:
    ~TAbstractFaxStatus() override;

    [[nodiscard]] TCustomAbstractFax *Fax() const { return fax_; }
    void SetFax(TCustomAbstractFax *fax);
    [[nodiscard]] const std::string &Caption() const { return caption_; }
    void SetCaption(const std::string &caption);
    [[nodiscard]] bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    TPosition Position = poScreenCenter;
    bool Ctl3D = true;

    virtual void CreateDisplay();
    virtual void DestroyDisplay();
    // First: take the current fax and show; Last: hide and stop; otherwise (also after
    // First) refresh the values.
    virtual void UpdateDisplay(bool First, bool Last);
    // The Cancel button.
    void CancelClick();

    [[nodiscard]] TStandardFaxDisplay *Display() const { return display_.get(); }

  protected:
    explicit TAbstractFaxStatus(std::string name);
    std::unique_ptr<TStandardFaxDisplay> display_;

  private:
    friend class TCustomAbstractFax;
    // The component lets go of this display (switched to another, or destroyed): neither
    // the link nor the window's copy of it may point at it any more.
    void Unlink() {
        fax_ = nullptr;
        if (display_) {
            display_->Fax = nullptr;
        }
    }
    TCustomAbstractFax *fax_ = nullptr;
    std::string caption_ = "Fax Status";
    bool visible_ = false;
};

class TFaxStatus : public TAbstractFaxStatus {
  public:
    explicit TFaxStatus(std::string name = "FaxStatus1");
};

} // namespace quillon::fax
