// The one place the program asks a person something. With a display these
// are real message boxes; headless they log the text and return the default
// answer; tests script the answers.
#pragma once

#include <functional>
#include <string>

class QWidget;

namespace platform {

enum class MsgKind { Information, Warning, Error, Confirmation };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MsgResult { Ok, Cancel, Yes, No };

// Shows a message box; returns the button pressed (headless: defaultResult,
// or Ok/Yes as the buttons allow when none is given).
MsgResult MessageBox(const std::string& text, MsgKind kind = MsgKind::Information,
                     MsgButtons buttons = MsgButtons::Ok, QWidget* parent = nullptr);
// An input box; false when cancelled. Headless: value unchanged, returns false.
bool InputBox(const std::string& caption, const std::string& prompt, std::string& value,
              bool password = false, QWidget* parent = nullptr);

// Test hook: every dialog goes to the handler instead of a window. The
// handler gets kind, text and buttons, and returns the answer; for input
// boxes it may change the value.
struct DialogCall {
    MsgKind kind;
    MsgButtons buttons;
    std::string caption;
    std::string text;
    std::string* value = nullptr;  // input boxes only
};
void SetDialogHandlerForTesting(std::function<MsgResult(DialogCall&)> handler);

// True when the program runs without a display (no person to ask).
bool IsHeadless();

}  // namespace platform
