#pragma once

// The controls of the main window as plain values: what the controller reads and writes
// and what the Qt window shows. No drawing, no events of their own: the controller tells
// its window through TForm1::OnChanged when a handler changed them.

#include <array>
#include <string>
#include <vector>

namespace quillon::server {

struct TEditControl {
    std::string Text;
    bool Enabled = true;
};

struct TComboBoxControl {
    std::string Text;
    std::vector<std::string> Items;
};

struct TCheckControl {
    bool Checked = false;
};

struct TButtonControl {
    std::string Caption;
    bool Enabled = true;
};

struct TCaptionPanel {
    std::string Caption;
};

// The three-line message panel: configuration, activity, state.
struct TMessagePanel {
    std::array<std::string, 3> Lines;
    void Set(std::string configuration, std::string activity, std::string state) {
        Lines = {std::move(configuration), std::move(activity), std::move(state)};
    }
};

} // namespace quillon::server
