#pragma once

// Hooks through which the core asks the operator something: message boxes and questions.
// The Qt program installs its own; without one (headless, tests) a message box writes its
// text to stderr and a question takes its default answer.

#include <functional>
#include <string>

namespace quillon::platform {

enum class MessageKind { Information, Warning, Error, Confirmation };
enum class MessageButtons { Ok, OkCancel, YesNo, YesNoCancel };

// The platform's answer codes.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

using MessageBoxHook = std::function<int(const std::string &text, const std::string &caption,
                                         MessageKind kind, MessageButtons buttons)>;

// Installs a hook (an empty function restores the default) and returns the previous one.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

// Shows a message box through the hook. The default writes "caption: text" to stderr and
// answers OK for Ok/OkCancel, No for YesNo and Cancel for YesNoCancel: without an operator
// nothing destructive is confirmed.
int ShowMessageBox(const std::string &text, const std::string &caption = "Quillon",
                   MessageKind kind = MessageKind::Information,
                   MessageButtons buttons = MessageButtons::Ok);

} // namespace quillon::platform
