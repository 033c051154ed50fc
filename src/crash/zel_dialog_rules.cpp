// The exception dialog's rules, its console variant, and the entry that
// chooses between the windows' dialog and the console.
#include "zel_dialog_rules.h"

#include <cstdio>
#include <mutex>

#include "platform/dialogs.h"
#include "zel_report.h"
#include "zel_strings.h"

namespace zelExcept {

namespace {

bool Usable(int action, const TButtonSet& present, bool canContinue) {
    return action >= 0 && action < 7 && present[std::size_t(action)] && (action != actContinue || canContinue);
}

std::mutex& HooksLock() {
    static auto& lock = *new std::mutex;
    return lock;
}

TWindowHooks& Hooks() {
    static auto& hooks = *new TWindowHooks;
    return hooks;
}

}  // namespace

void SetWindowHooks(const TWindowHooks& hooks) {
    std::lock_guard<std::mutex> lock(HooksLock());
    Hooks() = hooks;
}

TWindowHooks WindowHooks() {
    std::lock_guard<std::mutex> lock(HooksLock());
    return Hooks();
}

std::string ForConsole(std::string text) {
    zelStrings::ReplaceAllCase(text, "\r\n", "\n");
    return text;
}

TDialogEnvironment& DialogEnvironment() {
    static auto& env = *new TDialogEnvironment;
    return env;
}

TButtonSet PresentButtons(const TSettingsBlock& settings) {
    TButtonSet present{};
    for (std::size_t i = 0; i < 7; ++i) present[i] = !settings.ButtonTexts[i].empty();
    if (settings.DetailsAtOnce) present[actShow] = false;
    return present;
}

int CountdownButtonFor(const TSettingsBlock& settings, const TButtonSet& present, const TExceptionRecord& exception) {
    if (exception.AutoCloseApplies && present[actClose]) return actClose;
    if (exception.AutoRestartApplies && present[actRestart]) return actRestart;
    if (settings.ContinueIsDefault && present[actContinue] && exception.CanContinue) return actContinue;
    return -1;
}

int FocusButtonFor(const TSettingsBlock& settings, const TButtonSet& present, const TExceptionRecord& exception) {
    int rule = CountdownButtonFor(settings, present, exception);
    if (rule >= 0) return rule;
    // The stored choice may come from an earlier exception that could go
    // on; continuing is no choice for one that cannot.
    if (Usable(settings.FocusButton, present, exception.CanContinue)) return settings.FocusButton;
    for (int i = 0; i < 7; ++i)
        if (Usable(i, present, exception.CanContinue)) return i;
    return settings.FocusButton;
}

int CloseRequestAction(int focusSetting, const TButtonSet& present, bool canContinue) {
    if (focusSetting == actContinue || focusSetting == actRestart || focusSetting == actClose) return focusSetting;
    if (present[actContinue] && canContinue) return actContinue;
    if (present[actClose]) return actClose;
    if (present[actRestart]) return actRestart;
    return -1;
}

TAction AutomaticAction(const TExceptionRecord& exception) {
    if (exception.AutoCloseApplies) return actClose;
    if (exception.AutoRestartApplies) return actRestart;
    return exception.CanContinue ? actContinue : actClose;
}

std::string DialogMessage(const TSettingsBlock& settings, const TExceptionRecord& exception,
                          const std::string& report) {
    return ExpandPlaceholders(exception.Frozen ? settings.FrozenText : settings.DialogText, report);
}

bool DialogInMainThread(const std::function<void()>& call) {
    const TDialogEnvironment& env = DialogEnvironment();
    return env.MainThreadCall ? env.MainThreadCall(call) : CallInMainThread(call);
}

bool DialogHeadless() {
    const TDialogEnvironment& env = DialogEnvironment();
    return env.Headless ? env.Headless() : platform::IsHeadless();
}

TAction ConsoleExceptionDialog(const TExceptionRecord& exception, const std::string& report,
                               const std::function<bool(TAction, std::string&)>& fire) {
    const TSettingsBlock& settings = Settings();
    std::string text = ForConsole(DialogMessage(settings, exception, report)) + "\n";
    if (settings.DetailsAtOnce || !settings.ButtonTexts[actShow].empty()) text += ForConsole(report) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    const TAction action = AutomaticAction(exception);
    std::string copy = report;
    if (fire) fire(action, copy);
    return action;
}

TAction ShowExceptionDialog(const TExceptionRecord& exception, std::string& report,
                            const std::function<bool(TAction, std::string&)>& fireActionHandlers, bool* shown) {
    TAction ended = actContinue;
    if (shown != nullptr) *shown = true;
    if (const auto dialog = WindowHooks().ExceptionDialog)
        if (dialog(exception, report, fireActionHandlers, ended)) return ended;
    if (shown != nullptr) *shown = false;
    return ConsoleExceptionDialog(exception, report, fireActionHandlers);
}

}  // namespace zelExcept
