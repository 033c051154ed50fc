// The exception dialog's rules (which buttons, which has the focus, which
// counts down, what happens unasked) and the dialog's entry. Needs no
// display: without the windows' dialog (zel_dialog.h) the text and report
// go to standard output and the automatic rules decide.
#pragma once

#include <array>
#include <functional>
#include <string>

#include "zel_exception.h"
#include "zel_settings.h"

namespace zelExcept {

using TButtonSet = std::array<bool, 7>;  // by action code: the button exists

// Buttons whose caption is not empty; show is dropped when the report is
// shown at once.
TButtonSet PresentButtons(const TSettingsBlock& settings);
// The button with the focus: close, restart or continue when their rule
// applies, else the stored choice when it names a usable button, else the
// first button there is.
int FocusButtonFor(const TSettingsBlock& settings, const TButtonSet& present, const TExceptionRecord& exception);
// The button that counts down: close, restart or continue by the same
// rules, without a fallback; -1 for none.
int CountdownButtonFor(const TSettingsBlock& settings, const TButtonSet& present, const TExceptionRecord& exception);
// Escape or the title bar's close: what the focus setting names, or
// continue, close, restart in that order when they exist; -1 for nothing.
int CloseRequestAction(int focusSetting, const TButtonSet& present, bool canContinue);
// What happens when no one is asked: close, restart or continue.
TAction AutomaticAction(const TExceptionRecord& exception);
// The dialog's message with its placeholders replaced.
std::string DialogMessage(const TSettingsBlock& settings, const TExceptionRecord& exception,
                          const std::string& report);

// What the dialog takes from its surroundings; tests replace parts of it.
struct TDialogEnvironment {
    // Runs a call on the main thread and waits for it; false when the main
    // thread does not answer. Empty: CallInMainThread.
    std::function<bool(const std::function<void()>&)> MainThreadCall;
    // Empty: the platform's own answer.
    std::function<bool()> Headless;
};
TDialogEnvironment& DialogEnvironment();

// Line breaks as a label and a terminal want them.
std::string ForConsole(std::string text);
// Runs a call on the main thread through the dialog's environment.
bool DialogInMainThread(const std::function<void()>& call);
// Whether the dialog's environment has no display.
bool DialogHeadless();
// The dialog without a display: text and report to standard output, the
// automatic action taken (its handlers fired).
TAction ConsoleExceptionDialog(const TExceptionRecord& exception, const std::string& report,
                               const std::function<bool(TAction, std::string&)>& fire);

}  // namespace zelExcept
