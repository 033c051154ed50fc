// The one place the program asks a person something. With a display these
// are real message boxes; headless they log the text and return the default
// answer, so nothing ever waits for a person; tests script the answers.
//
// The headless default: callers that ask something destructive pass the
// answer they want explicitly. Without one, the answer is the button that
// changes nothing: Ok for an Ok box, Cancel for Ok/Cancel and
// Yes/No/Cancel, No for Yes/No.
#pragma once

#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace platform {

enum class MsgKind { Information, Warning, Error, Confirmation };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MsgResult { Ok, Cancel, Yes, No };

// Shows a message box; returns the button pressed (headless: the default
// answer described above).
MsgResult MessageBox(const std::string& text, MsgKind kind = MsgKind::Information,
                     MsgButtons buttons = MsgButtons::Ok, QWidget* parent = nullptr);
// The same with the answer given for headless use; it is also the button
// that has the focus in a real box. A default the buttons cannot give falls
// back to the rule above.
MsgResult MessageBox(const std::string& text, MsgKind kind, MsgButtons buttons,
                     MsgResult defaultResult, QWidget* parent = nullptr);
// An input box; false when cancelled. Headless: value unchanged, returns false.
bool InputBox(const std::string& caption, const std::string& prompt, std::string& value,
              bool password = false, QWidget* parent = nullptr);

// The answer a headless box gives.
MsgResult DefaultAnswer(MsgButtons buttons, std::optional<MsgResult> wanted = std::nullopt);

// Test hook: every dialog goes to the handler instead of a window. The
// handler gets kind, text and buttons, and returns the answer; for input
// boxes it may change the value. An empty function removes the hook.
struct DialogCall {
    MsgKind kind;
    MsgButtons buttons;
    std::string caption;
    std::string text;
    std::string* value = nullptr;  // input boxes only
    std::optional<MsgResult> defaultResult;
};
void SetDialogHandlerForTesting(std::function<MsgResult(DialogCall&)> handler);

// What a person would have seen headless (dialog texts, URLs to open) goes
// to stderr and to this hook, so the shell can mirror it into its log. An
// empty function removes the hook.
void SetHeadlessLogHook(std::function<void(const std::string& line)> hook);
// Writes one line to stderr and the hook.
void HeadlessLog(const std::string& line);

// True when the program runs without a display (no person to ask).
bool IsHeadless();

// The real boxes. The service itself needs no display: the windows install
// these at start-up, and until they do every box is answered headless.
// `text` and `prompt` come with their line breaks as LF.
struct DialogPresenter {
    MsgResult (*message)(MsgKind kind, MsgButtons buttons, const std::string& caption,
                         const std::string& text, MsgResult defaultResult, QWidget* parent) = nullptr;
    bool (*input)(const std::string& caption, const std::string& prompt, std::string& value,
                  bool password, QWidget* parent) = nullptr;
};
void SetDialogPresenter(DialogPresenter presenter);

}  // namespace platform
