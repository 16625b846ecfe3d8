#include "records/record_view.h"

#include <algorithm>
#include <cstdio>

namespace quillon::records {

namespace {

// The registered field classes and their kind codes. A control matches the last
// registered class it derives from, so the table is searched from the bottom up.
struct FieldClass {
    const char *className;
    uint8_t kind;
};
constexpr FieldClass kFieldClasses[] = {
    {"TCustomEdit", 6},     {"TRichEdit", 8},       {"TCustomRadioGroup", 1},
    {"TCustomCheckBox", 1}, {"TCustomComboBox", 6}, {"TCustomListBox", 2},
    {"TImage", 9},
};

const FieldClass *matchClass(const TControl &c) {
    for (auto it = std::rbegin(kFieldClasses); it != std::rend(kFieldClasses); ++it) {
        if (c.InheritsFrom(it->className)) {
            return &*it;
        }
    }
    return nullptr;
}

} // namespace

// ---- TRecordItem -------------------------------------------------------------------------

Bytes TRecordItem::AssembleItem() const {
    Bytes out;
    for (const auto &f : fields_) {
        auto n = static_cast<uint32_t>(f.stream.size());
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<uint8_t>(n >> (8 * i)));
        }
        out.insert(out.end(), f.stream.begin(), f.stream.end());
    }
    return out;
}

void TRecordItem::SplitItem(const Bytes &item) {
    size_t pos = 0;
    bool broken = false;
    for (auto &f : fields_) {
        f.stream.clear();
        if (broken || item.size() - pos < 4) {
            broken = true;
            continue;
        }
        auto n =
            static_cast<int32_t>(uint32_t{item[pos]} | (uint32_t{item[pos + 1]} << 8) |
                                 (uint32_t{item[pos + 2]} << 16) | (uint32_t{item[pos + 3]} << 24));
        pos += 4;
        if (n <= 0) {
            continue;
        }
        if (static_cast<size_t>(n) > item.size() - pos) {
            // A length past the item: this field and the rest load as empty (cleared).
            broken = true;
            continue;
        }
        f.stream.assign(item.begin() + static_cast<ptrdiff_t>(pos),
                        item.begin() + static_cast<ptrdiff_t>(pos) + n);
        pos += static_cast<size_t>(n);
    }
}

void TRecordItem::ClearFields() {
    for (auto &f : fields_) {
        f.stream.clear();
    }
}

// ---- TRecordView -------------------------------------------------------------------------

TRecordView::~TRecordView() {
    try {
        Close();
    } catch (...) {
        // The journal keeps every change for the next open.
    }
}

std::string TRecordView::DescriptionKey(size_t index) {
    char key[32];
    std::snprintf(key, sizeof key, "QF.%04zu", index);
    return key;
}

std::string TRecordView::FieldDescription(size_t index) const {
    std::string d(1, static_cast<char>(fields_[index].kind));
    d += ".";
    d += controls_[index]->Name();
    d += ".";
    d += controls_[index]->ClassName();
    return d;
}

void TRecordView::walk(TControl *control) {
    if (control->Tag == ExcludeTag) {
        return;
    }
    std::vector<TControl *> children = control->Children();
    if (control->IsWindowed() && !children.empty()) {
        // Graphic controls first, then windowed ones, each group in creation order.
        std::stable_partition(children.begin(), children.end(),
                              [](TControl *c) { return !c->IsWindowed(); });
        for (TControl *child : children) {
            walk(child);
        }
        return;
    }
    if (const FieldClass *cls = matchClass(*control)) {
        fields_.push_back({control->Name(), cls->kind, {}});
        controls_.push_back(control);
    }
}

void TRecordView::buildFields() {
    fields_.clear();
    controls_.clear();
    if (panel_ == nullptr) {
        return;
    }
    std::vector<TControl *> children = panel_->Children();
    std::stable_partition(children.begin(), children.end(),
                          [](TControl *c) { return !c->IsWindowed(); });
    for (TControl *child : children) {
        walk(child);
    }
}

void TRecordView::writeDescriptions() {
    for (size_t i = 0; i < fields_.size(); ++i) {
        WriteAdminString(DescriptionKey(i), FieldDescription(i));
    }
}

bool TRecordView::checkDescriptions() {
    if (!IsOpen() || panel_ == nullptr) {
        return true;
    }
    if (AdminExists(DescriptionKey(0))) {
        bool equal = true;
        for (size_t i = 0; i < fields_.size() && equal; ++i) {
            std::string key = DescriptionKey(i);
            equal = AdminExists(key) && ReadAdminString(key) == FieldDescription(i);
        }
        if (equal) {
            return true;
        }
        if (Count() > 0) {
            return false;
        }
        if (!ReadOnly()) {
            writeDescriptions();
        }
        return true;
    }
    if (!ReadOnly()) {
        writeDescriptions();
    }
    return true;
}

void TRecordView::SetPanel(TControl *panel) {
    panel_ = panel;
    buildFields();
    if (IsOpen() && Count() > 0) {
        First();
    }
    setEditable(AutoEdit);
    if (!checkDescriptions()) {
        panel_ = nullptr;
        fields_.clear();
        controls_.clear();
        throw ERecViewError(kMsgPanelMismatch);
    }
}

void TRecordView::SetFileName(const std::string &name) {
    AssignFile(name);
    if (IsOpen() && Count() > 0) {
        First();
    }
    if (!checkDescriptions()) {
        AssignFile({});
        throw ERecViewError(kMsgPanelMismatch);
    }
}

void TRecordView::setEditable(bool on) {
    editable_ = on;
    for (TControl *c : controls_) {
        c->Color = on ? ActiveColor : InactiveColor;
        c->ReadOnly = !on;
    }
}

void TRecordView::clearControls() {
    for (TControl *c : controls_) {
        c->ClearField();
    }
}

void TRecordView::focusFirst() {
    auto *panel = dynamic_cast<TPanel *>(panel_);
    if (panel == nullptr || controls_.empty()) {
        return;
    }
    panel->Focused =
        *std::min_element(controls_.begin(), controls_.end(),
                          [](TControl *a, TControl *b) { return a->TabOrder < b->TabOrder; });
}

void TRecordView::ClearFields() {
    TRecordItem::ClearFields();
}

void TRecordView::FetchItem() {
    if (!IsOpen() || Count() == 0) {
        return;
    }
    Bytes item;
    Get(item);
    SplitItem(item);
    for (size_t i = 0; i < controls_.size(); ++i) {
        if (fields_[i].stream.empty()) {
            controls_[i]->ClearField();
        } else {
            controls_[i]->LoadField(fields_[i].stream);
        }
    }
    if (editable_) {
        focusFirst();
    }
}

void TRecordView::StoreItem() {
    for (size_t i = 0; i < controls_.size(); ++i) {
        fields_[i].stream = controls_[i]->StoreField();
    }
    Bytes item = AssembleItem();
    if (!OnKey) {
        throw ERecKeyError(kMsgNoKeyHandler);
    }
    std::string key;
    OnKey(*this, key);
    key = key.substr(0, kMaxKeyLength);
    if (FindKey(key)) {
        Change(item);
        return;
    }
    if (!InsertMode() && Count() > 0) {
        // Editing an item whose key changed: it moves to the new key.
        DeleteCurrent();
    }
    Add(item, key);
}

void TRecordView::InsertStep() {
    setEditable(true);
    focusFirst();
    SetModes(true, false);
    ClearFields();
    clearControls();
}

void TRecordView::Edit() {
    setEditable(true);
    FetchItem();
    SetModes(false, true);
}

void TRecordView::PostStep() {
    if (editable_ && (InsertMode() || EditMode())) {
        StoreItem();
    }
    SetModes(false, false);
    if (!AutoEdit) {
        setEditable(false);
    }
}

void TRecordView::Cancel() {
    if (!AutoEdit) {
        setEditable(false);
    }
    SetModes(false, false);
    FetchItem();
}

void TRecordView::DeleteStep() {
    if (!AutoEdit) {
        setEditable(false);
    }
    DeleteCurrent();
    if (Count() == 0) {
        clearControls();
    } else {
        FetchItem();
    }
}

void TRecordView::First() {
    TRecordItem::First();
    FetchItem();
}
void TRecordView::Last() {
    TRecordItem::Last();
    FetchItem();
}
void TRecordView::Next() {
    TRecordItem::Next();
    FetchItem();
}
void TRecordView::Prior() {
    TRecordItem::Prior();
    FetchItem();
}

} // namespace quillon::records
