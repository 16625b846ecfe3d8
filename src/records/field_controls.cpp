#include "records/field_controls.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "records/record_errors.h"

namespace quillon::records {

namespace {

void put32(Bytes &b, int32_t v) {
    auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(u >> (8 * i)));
    }
}

bool get32(const Bytes &b, size_t at, int32_t &out) {
    if (b.size() < at + 4) {
        return false;
    }
    uint32_t u = uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) |
                 (uint32_t{b[at + 3]} << 24);
    out = static_cast<int32_t>(u);
    return true;
}

Bytes textBytes(const std::string &text) {
    Bytes b(text.begin(), text.end());
    b.push_back(0);
    return b;
}

std::string bytesText(const Bytes &b) {
    auto zero = std::find(b.begin(), b.end(), 0);
    return {b.begin(), zero};
}

std::set<std::string> &graphicFormats() {
    static std::set<std::string> formats{"bmp", "ico", "wmf", "emf"};
    return formats;
}

} // namespace

bool TControl::InheritsFrom(const std::string &className) const {
    return std::find(ancestry_.begin(), ancestry_.end(), className) != ancestry_.end();
}

std::vector<TControl *> TControl::Children() const {
    std::vector<TControl *> out;
    out.reserve(children_.size());
    for (const auto &c : children_) {
        out.push_back(c.get());
    }
    return out;
}

TTabSheet &TPageControl::AddPage(const std::string &name) {
    TTabSheet &page = Add<TTabSheet>(name);
    pages_.push_back(&page);
    return page;
}

void TPageControl::MovePage(size_t from, size_t to) {
    if (from >= pages_.size() || to >= pages_.size()) {
        return;
    }
    TControl *p = pages_[from];
    pages_.erase(pages_.begin() + static_cast<ptrdiff_t>(from));
    pages_.insert(pages_.begin() + static_cast<ptrdiff_t>(to), p);
}

Bytes TEdit::StoreField() const {
    return textBytes(Text);
}
void TEdit::LoadField(const Bytes &b) {
    Text = bytesText(b);
}

Bytes TComboBox::StoreField() const {
    return textBytes(Text);
}
void TComboBox::LoadField(const Bytes &b) {
    Text = bytesText(b);
}

Bytes TRichEdit::StoreField() const {
    Bytes b;
    for (const auto &line : Lines) {
        b.insert(b.end(), line.begin(), line.end());
        b.push_back('\r');
        b.push_back('\n');
    }
    return b;
}

void TRichEdit::LoadField(const Bytes &b) {
    Lines.clear();
    std::string line;
    for (size_t i = 0; i < b.size(); ++i) {
        if (b[i] == 0) {
            Lines.clear(); // not text: the control is cleared
            return;
        }
        if (b[i] == '\r' || b[i] == '\n') {
            if (b[i] == '\r' && i + 1 < b.size() && b[i + 1] == '\n') {
                ++i;
            }
            Lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(b[i]));
        }
    }
    if (!line.empty()) {
        Lines.push_back(line);
    }
}

Bytes TCheckBox::StoreField() const {
    Bytes b;
    put32(b, State);
    return b;
}

void TCheckBox::LoadField(const Bytes &b) {
    int32_t v = 0;
    if (!get32(b, 0, v)) {
        ClearField();
        return;
    }
    // The state is the low byte of the value; anything outside the three states clears.
    auto low = static_cast<uint8_t>(v & 0xFF);
    State = low <= 2 ? static_cast<TCheckBoxState>(low) : cbUnchecked;
}

Bytes TRadioGroup::StoreField() const {
    Bytes b;
    put32(b, ItemIndex);
    return b;
}

void TRadioGroup::LoadField(const Bytes &b) {
    int32_t v = 0;
    if (!get32(b, 0, v) || v < -1 || v >= static_cast<int32_t>(Items.size())) {
        ClearField();
        return;
    }
    ItemIndex = v;
}

Bytes TListBox::StoreField() const {
    Bytes b;
    for (size_t i = 0; i < Selected.size() && i < Items.size(); ++i) {
        if (Selected[i]) {
            put32(b, static_cast<int32_t>(i));
        }
    }
    put32(b, -1);
    return b;
}

void TListBox::ClearField() {
    Selected.assign(Items.size(), false);
    ItemIndex = -1;
}

void TListBox::LoadField(const Bytes &b) {
    ClearField();
    bool oldMulti = MultiSelect;
    MultiSelect = true;
    int selected = 0;
    for (size_t at = 0;; at += 4) {
        int32_t index = 0;
        if (!get32(b, at, index)) {
            // Short bytes: a list that does not end in -1 is malformed.
            ClearField();
            MultiSelect = oldMulti;
            return;
        }
        if (index < 0 || index >= static_cast<int32_t>(Items.size())) {
            break;
        }
        if (!Selected[static_cast<size_t>(index)]) {
            Selected[static_cast<size_t>(index)] = true;
            ++selected;
        }
        ItemIndex = index;
    }
    if (selected <= 1) {
        MultiSelect = oldMulti;
    }
}

Bytes TImage::StoreField() const {
    if (Picture.format.empty() && Picture.data.empty()) {
        return {};
    }
    if (Picture.format.size() != 3 || !FormatKnown(Picture.format)) {
        throw ERecError("unknown graphic class");
    }
    Bytes b(Picture.format.begin(), Picture.format.end());
    b.insert(b.end(), Picture.data.begin(), Picture.data.end());
    return b;
}

void TImage::LoadField(const Bytes &b) {
    ClearField();
    if (b.size() < 3) {
        return;
    }
    std::string ext(b.begin(), b.begin() + 3);
    if (!FormatKnown(ext)) {
        return;
    }
    Picture.format = ext;
    Picture.data.assign(b.begin() + 3, b.end());
}

void TImage::RegisterFormat(const std::string &extension) {
    std::string ext = extension;
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    graphicFormats().insert(ext);
}

bool TImage::FormatKnown(const std::string &extension) {
    return graphicFormats().count(extension) != 0;
}

} // namespace quillon::records
