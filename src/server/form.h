#pragma once

// The core side of a window that other components attach to: its close handler chain.
// The Qt window calls Close() from its close event and acts on the returned action.

#include <functional>
#include <string>

namespace quillon::server {

enum class TCloseAction { caNone, caHide, caFree, caMinimize };

class TForm {
  public:
    using CloseHandler = std::function<void(TForm &sender, TCloseAction &action)>;

    explicit TForm(std::string name = {}) : name_(std::move(name)) {}
    TForm(const TForm &) = delete;
    TForm &operator=(const TForm &) = delete;

    [[nodiscard]] const std::string &Name() const { return name_; }

    // Runs the close handler with the action preset to hide and returns what it chose.
    TCloseAction Close() {
        TCloseAction action = TCloseAction::caHide;
        if (OnClose) {
            OnClose(*this, action);
        }
        return action;
    }

    CloseHandler OnClose;

  private:
    std::string name_;
};

} // namespace quillon::server
