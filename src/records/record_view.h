#pragma once

// TRecordItem turns an item of a record file into a list of named fields (each a 32-bit
// little-endian length and its bytes); TRecordView binds those fields to the supported
// controls of one panel, keeps their descriptions in the file ("QF.0000", ...), and makes
// the controls editable or read-only with the dataset-style steps. Used on the
// user-interface thread; raises ERecViewError when file and panel do not match and
// ERecKeyError when Post finds no key supplier.

#include <functional>
#include <string>
#include <vector>

#include "records/field_controls.h"
#include "records/record_file.h"

namespace quillon::records {

struct TRecordField {
    std::string name;
    uint8_t kind = 0;
    Bytes stream;
};

class TRecordItem : public TRecordFile {
  public:
    using TKeyEvent = std::function<void(TRecordItem &, std::string &key)>;

    bool AutoEdit = false;
    TKeyEvent OnKey;
    std::string DateTimeFormatStr = "c";
    std::string RealFormatStr;

    [[nodiscard]] const std::vector<TRecordField> &Fields() const { return fields_; }
    // The item bytes of the fields' streams, and the split of an item into them.
    [[nodiscard]] Bytes AssembleItem() const;
    void SplitItem(const Bytes &item);
    virtual void ClearFields();

  protected:
    [[nodiscard]] bool AutoEditOn() const override { return AutoEdit; }
    std::vector<TRecordField> fields_;
};

class TRecordView : public TRecordItem {
  public:
    TRecordView() = default;
    ~TRecordView() override;

    // Rebuilds the field list from the panel's controls and checks the file's descriptions.
    void SetPanel(TControl *panel);
    [[nodiscard]] TControl *Panel() const { return panel_; }
    void SetFileName(const std::string &name) override;

    int ExcludeTag = -999;
    uint32_t ActiveColor = clWindow;
    uint32_t InactiveColor = clSilver;

    void Edit() override;
    void Cancel() override;
    void First() override;
    void Last() override;
    void Next() override;
    void Prior() override;
    void Refresh() override { FetchItem(); }
    void ClearFields() override;

    [[nodiscard]] bool Editable() const { return editable_; }
    [[nodiscard]] const std::vector<TControl *> &FieldControls() const { return controls_; }
    // The description stored for field `index`: kind character, ".", name, ".", class.
    [[nodiscard]] std::string FieldDescription(size_t index) const;
    static std::string DescriptionKey(size_t index);

  protected:
    void InsertStep() override;
    void PostStep() override;
    void DeleteStep() override;
    virtual void FetchItem();
    virtual void StoreItem();

  private:
    void buildFields();
    void walk(TControl *control);
    [[nodiscard]] bool checkDescriptions();
    void writeDescriptions();
    void setEditable(bool on);
    void clearControls();
    void focusFirst();

    TControl *panel_ = nullptr;
    std::vector<TControl *> controls_; // one per field
    bool editable_ = false;
};

} // namespace quillon::records
