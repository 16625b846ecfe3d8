#include "platform/ui_hooks.h"

#include <cstdio>
#include <mutex>

namespace quillon::platform {

namespace {

std::mutex &hookMutex() {
    static std::mutex m;
    return m;
}

MessageBoxHook &hookSlot() {
    static MessageBoxHook hook;
    return hook;
}

int defaultMessageBox(const std::string &text, const std::string &caption, MessageKind,
                      MessageButtons buttons) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    switch (buttons) {
    case MessageButtons::YesNo:
        return kIdNo;
    case MessageButtons::YesNoCancel:
        return kIdCancel;
    default:
        return kIdOk;
    }
}

} // namespace

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard lock(hookMutex());
    auto previous = std::move(hookSlot());
    hookSlot() = std::move(hook);
    return previous;
}

int ShowMessageBox(const std::string &text, const std::string &caption, MessageKind kind,
                   MessageButtons buttons) {
    MessageBoxHook hook;
    {
        std::lock_guard lock(hookMutex());
        hook = hookSlot();
    }
    return hook ? hook(text, caption, kind, buttons)
                : defaultMessageBox(text, caption, kind, buttons);
}

} // namespace quillon::platform
