#pragma once

// TFaxUnpacker: the component over the unpack engine, used by the fax printer and the
// export. Lives on the user-interface thread. Before every operation it replaces its engine
// with a new one built from the properties; a negative engine result is raised as the
// library exception for that code (comm::CheckException).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comm/base_component.h"
#include "faximage/unpack_engine.h"

namespace quillon::faximage {

enum TUnpackerOptions : uint8_t { uoYield = 1, uoAbort = 2 };
enum class TAutoScaleMode { asNone, asDoubleHeight, asHalfWidth };

// (Sender, Starting, Ending, Data, Len, PageNum)
using TUnpackOutputLineEvent = std::function<void(void *sender, bool starting, bool ending,
                                                  const uint8_t *data, int len, int pageNum)>;
// (Sender, FName, PageNum, BytesUnpacked, BytesToUnpack)
using TUnpackStatusEvent = std::function<void(void *sender, const std::string &fileName,
                                              int pageNum, int bytesUnpacked, int bytesToUnpack)>;

class TCustomFaxUnpacker : public comm::TBaseComponent {
  public:
    TCustomFaxUnpacker() : comm::TBaseComponent("FaxUnpacker") {}
    ~TCustomFaxUnpacker() override;

    // Set of TUnpackerOptions; on a live engine this also sets or clears its yield bit and
    // sets its abort bit when uoAbort is included, so a running unpack can be stopped.
    void SetOptions(uint8_t options);
    [[nodiscard]] uint8_t Options() const { return options_; }

    bool WhitespaceCompression = false;
    uint32_t WhitespaceFrom = 0;
    uint32_t WhitespaceTo = 0;
    bool Scaling = false;
    void SetHorizMult(uint32_t v) { set(horizMult_, v); }
    void SetHorizDiv(uint32_t v) { set(horizDiv_, v); }
    void SetVertMult(uint32_t v) { set(vertMult_, v); }
    void SetVertDiv(uint32_t v) { set(vertDiv_, v); }
    [[nodiscard]] uint32_t HorizMult() const { return horizMult_; }
    [[nodiscard]] uint32_t HorizDiv() const { return horizDiv_; }
    [[nodiscard]] uint32_t VertMult() const { return vertMult_; }
    [[nodiscard]] uint32_t VertDiv() const { return vertDiv_; }
    TAutoScaleMode AutoScaleMode = TAutoScaleMode::asDoubleHeight;

    // Assigning a name that differs (ignoring case) also sets OutFileName to the name without
    // its extension.
    void SetInFileName(const std::string &name);
    [[nodiscard]] const std::string &InFileName() const { return inFileName_; }
    std::string OutFileName;

    TUnpackOutputLineEvent OnOutputLine;
    TUnpackStatusEvent OnStatus;

    [[nodiscard]] int PageCount();
    [[nodiscard]] bool FirstPageFine();
    [[nodiscard]] bool FirstPageWide();
    // Decodes the page into a new bitmap (inverted: black is 0) that the caller owns; a page
    // without lines gives an empty bitmap (0 x 0).
    [[nodiscard]] std::unique_ptr<TFaxBitmap> UnpackPageToBitmap(int page);
    // Passes the page's lines to OnOutputLine.
    void UnpackPage(int page);

    // For tests: the engine's decoder and the quit check handed to each new engine.
    void SetDecoder(TDecoderKind kind) { decoder_ = kind; }
    void SetQuitCheck(std::function<bool()> check) { quitCheck_ = std::move(check); }
    [[nodiscard]] TUnpackEngine *Engine() const { return engine_.get(); }

  private:
    static void set(uint32_t &field, uint32_t v) {
        if (v != 0) {
            field = v;
        }
    }
    void rebuildEngine();

    uint8_t options_ = uoYield;
    uint32_t horizMult_ = 1, horizDiv_ = 1, vertMult_ = 1, vertDiv_ = 1;
    std::string inFileName_;
    std::unique_ptr<TUnpackEngine> engine_;
    TDecoderKind decoder_ = TDecoderKind::kFast;
    std::function<bool()> quitCheck_;
};

class TFaxUnpacker : public TCustomFaxUnpacker {};

} // namespace quillon::faximage
