#pragma once

// The field controls of a record panel, without any toolkit: plain objects that hold what
// a widget shows (text, check state, selection, picture bytes), their name, class name,
// tag, colour and read-only flag. A record view binds to a TPanel of them; the Qt windows
// mirror them later. Owned by their parent container; used on the user-interface thread.
//
// Each control class lists its class ancestry (most derived first) so that the record
// view can match it to the registered field classes the way the original forms do, and
// the supported ones know how to store themselves as field bytes, load from them (failing
// loads clear the control) and clear.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillon::records {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t clWindow = 0x80000005;
inline constexpr uint32_t clSilver = 0x00C0C0C0;

class TControl {
  public:
    TControl(std::string name, std::vector<std::string> ancestry)
        : name_(std::move(name)), ancestry_(std::move(ancestry)) {}
    virtual ~TControl() = default;
    TControl(const TControl &) = delete;
    TControl &operator=(const TControl &) = delete;

    [[nodiscard]] const std::string &Name() const { return name_; }
    [[nodiscard]] const std::string &ClassName() const { return ancestry_.front(); }
    [[nodiscard]] bool InheritsFrom(const std::string &className) const;
    // Windowed controls can hold children; graphic controls (labels, images) cannot.
    [[nodiscard]] virtual bool IsWindowed() const { return true; }
    // Children to walk instead of the control itself (a page control gives its pages).
    [[nodiscard]] virtual std::vector<TControl *> Children() const;

    template <class T, class... Args> T &Add(Args &&...args) {
        auto child = std::make_unique<T>(std::forward<Args>(args)...);
        T &ref = *child;
        children_.push_back(std::move(child));
        return ref;
    }

    int Tag = 0;
    int TabOrder = 0;
    uint32_t Color = clWindow;
    bool ReadOnly = false; // the edit control's read-only flag (EM_SETREADONLY)

    // Field behaviour of the supported classes; the defaults are for containers.
    [[nodiscard]] virtual Bytes StoreField() const { return {}; }
    virtual void LoadField(const Bytes &) {}
    virtual void ClearField() {}

  protected:
    std::vector<std::unique_ptr<TControl>> children_;

  private:
    std::string name_;
    std::vector<std::string> ancestry_;
};

class TPanel : public TControl {
  public:
    explicit TPanel(std::string name) : TControl(std::move(name), {"TPanel", "TWinControl"}) {}
    TControl *Focused = nullptr;
};

class TTabSheet : public TControl {
  public:
    explicit TTabSheet(std::string name)
        : TControl(std::move(name), {"TTabSheet", "TWinControl"}) {}
};

// Its children are its pages; PageOrder lists them in page order (creation order unless
// rearranged).
class TPageControl : public TControl {
  public:
    explicit TPageControl(std::string name)
        : TControl(std::move(name), {"TPageControl", "TWinControl"}) {}
    TTabSheet &AddPage(const std::string &name);
    void MovePage(size_t from, size_t to);
    [[nodiscard]] std::vector<TControl *> Children() const override { return pages_; }

  private:
    std::vector<TControl *> pages_;
};

class TLabel : public TControl {
  public:
    explicit TLabel(std::string name) : TControl(std::move(name), {"TLabel", "TGraphicControl"}) {}
    [[nodiscard]] bool IsWindowed() const override { return false; }
    std::string Caption;
};

// Edit-like controls store their text followed by one zero byte.
class TEdit : public TControl {
  public:
    explicit TEdit(std::string name)
        : TControl(std::move(name), {"TEdit", "TCustomEdit", "TWinControl"}) {}
    std::string Text;
    [[nodiscard]] Bytes StoreField() const override;
    void LoadField(const Bytes &b) override;
    void ClearField() override { Text.clear(); }

  protected:
    TEdit(std::string name, std::vector<std::string> ancestry)
        : TControl(std::move(name), std::move(ancestry)) {}
};

class TMemo : public TEdit {
  public:
    explicit TMemo(std::string name)
        : TEdit(std::move(name), {"TMemo", "TCustomMemo", "TCustomEdit", "TWinControl"}) {}
};

// Lines saved as text lines each ended by CR LF.
class TRichEdit : public TControl {
  public:
    explicit TRichEdit(std::string name)
        : TControl(std::move(name),
                   {"TRichEdit", "TCustomRichEdit", "TCustomMemo", "TCustomEdit", "TWinControl"}) {}
    std::vector<std::string> Lines;
    [[nodiscard]] Bytes StoreField() const override;
    void LoadField(const Bytes &b) override;
    void ClearField() override { Lines.clear(); }
};

enum TCheckBoxState : int32_t { cbUnchecked = 0, cbChecked = 1, cbGrayed = 2 };

class TCheckBox : public TControl {
  public:
    explicit TCheckBox(std::string name)
        : TControl(std::move(name), {"TCheckBox", "TCustomCheckBox", "TWinControl"}) {}
    TCheckBoxState State = cbUnchecked;
    [[nodiscard]] bool Checked() const { return State == cbChecked; }
    void SetChecked(bool on) { State = on ? cbChecked : cbUnchecked; }
    [[nodiscard]] Bytes StoreField() const override;
    void LoadField(const Bytes &b) override;
    void ClearField() override { State = cbUnchecked; }
};

class TRadioGroup : public TControl {
  public:
    explicit TRadioGroup(std::string name)
        : TControl(std::move(name), {"TRadioGroup", "TCustomRadioGroup", "TWinControl"}) {}
    std::vector<std::string> Items;
    int32_t ItemIndex = -1;
    [[nodiscard]] Bytes StoreField() const override;
    void LoadField(const Bytes &b) override;
    void ClearField() override { ItemIndex = -1; }
};

class TComboBox : public TControl {
  public:
    explicit TComboBox(std::string name)
        : TControl(std::move(name), {"TComboBox", "TCustomComboBox", "TWinControl"}) {}
    std::vector<std::string> Items;
    std::string Text;
    [[nodiscard]] Bytes StoreField() const override;
    void LoadField(const Bytes &b) override;
    void ClearField() override { Text.clear(); }
};

class TListBox : public TControl {
  public:
    explicit TListBox(std::string name)
        : TControl(std::move(name), {"TListBox", "TCustomListBox", "TWinControl"}) {}
    std::vector<std::string> Items;
    std::vector<bool> Selected; // one per item
    bool MultiSelect = false;
    int32_t ItemIndex = -1;
    [[nodiscard]] Bytes StoreField() const override;
    void LoadField(const Bytes &b) override;
    void ClearField() override;
};

// A picture: the graphic format's extension (lower case, three characters) and the
// graphic's own bytes, opaque to the core.
struct TPicture {
    std::string format; // empty = no picture
    Bytes data;
};

class TImage : public TControl {
  public:
    explicit TImage(std::string name) : TControl(std::move(name), {"TImage", "TGraphicControl"}) {}
    [[nodiscard]] bool IsWindowed() const override { return false; }
    TPicture Picture;
    // Raises ERecError "unknown graphic class" for a picture whose format is not registered.
    [[nodiscard]] Bytes StoreField() const override;
    void LoadField(const Bytes &b) override;
    void ClearField() override { Picture = {}; }

    // Graphic formats known to the image field, by extension ("bmp", "ico", "wmf", "emf"
    // are registered from the start).
    static void RegisterFormat(const std::string &extension);
    static bool FormatKnown(const std::string &extension);
};

} // namespace quillon::records
