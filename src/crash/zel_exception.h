// What the exception thread hands to the report, the dialog and the mail:
// the exception being reported and a snapshot of each thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zel_capture.h"
#include "zel_settings.h"
#include "zel_stacktrace.h"

namespace zelExcept {

struct TExceptionRecord {
    bool Frozen = false;
    bool HasObject = false;   // false: no exception object ("Unknown")
    std::string ClassName;    // demangled C++ type, or the signal's name
    std::string Message;      // what(), or the fault text; equal to ClassName when it has none
    bool OsException = false; // a processor fault (signal), not a thrown object
    std::uint64_t Address = 0;
    pid_t ThreadId = 0;
    bool CanContinue = false;
    // Whether the auto-close and auto-restart rules apply to this exception
    // (from the exception-time history); the dialog's focus and countdown
    // follow them.
    bool AutoCloseApplies = false;
    bool AutoRestartApplies = false;
};

struct TThreadSnapshot {
    pid_t Tid = 0;
    std::string DisplayName;  // "main thread", "name ($1a2b)" or "thread $1a2b"
    bool IsMain = false;
    bool Suspended = false;
    int Priority = 0;         // 0 is normal
    bool StackReadable = false;
    zelCapture::TStackCapture Stack;
    // The stack recorded at the throw, when the thread raised a C++ exception.
    std::vector<zelStackTrace::TPresetItem> Preset;
    bool RaisedThroughRunTime = false;
    // The creating thread and its stack when this thread was created.
    bool HasCreator = false;
    std::string CreatorName;
    std::vector<zelStackTrace::TPresetItem> CreatorStack;
};

// The report and its actions (built by the report unit).
// With `showProgress`, a long report shows its progress (the windows' popup).
std::string CreateBugReport(const TExceptionRecord& exception, const std::vector<TThreadSnapshot>& threads,
                            bool showProgress = false);
bool SaveBugReport(const std::string& report, bool autoSave);
// silent: no message boxes and no mail-client route.
bool MailBugReport(const std::string& report, bool silent);
// The exception dialog, modal; its buttons run their actions themselves,
// each after `fireActionHandlers(action, report)` (true: handled, skip the
// action). Returns the action that ended it: continue, restart or close.
// `shown` tells whether a window showed it (not standard output).
TAction ShowExceptionDialog(const TExceptionRecord& exception, std::string& report,
                            const std::function<bool(TAction, std::string&)>& fireActionHandlers,
                            bool* shown = nullptr);

// What the library shows on a display. It needs none itself: the windows
// install these (InstallExceptionWindows in zel_dialog.h). Until they do,
// the dialog goes to standard output, the save question is not asked,
// result boxes are logged, and the clipboard and the screen are left alone.
struct TWindowHooks {
    // The exception dialog; false when it could not be shown.
    bool (*ExceptionDialog)(const TExceptionRecord& exception, std::string& report,
                            const std::function<bool(TAction, std::string&)>& fireActionHandlers,
                            TAction& ended) = nullptr;
    // On the main thread: where to save the report; empty for none.
    std::string (*AskReportFile)(const std::string& caption, const std::string& path) = nullptr;
    // On the main thread: the mail's result; false when no box could be shown.
    bool (*ResultBox)(const std::string& caption, const std::string& text, bool sent) = nullptr;
    // On the main thread.
    void (*SetClipboard)(const std::string& text) = nullptr;
    // The primary screen's size and colour depth; false without one.
    bool (*ScreenMode)(int& width, int& height, int& depth) = nullptr;
    // From the exception thread, without waiting: the progress popup of a
    // long report at `position` (0..1000); below 0 it goes.
    void (*ReportProgress)(int position) = nullptr;
};
void SetWindowHooks(const TWindowHooks& hooks);
TWindowHooks WindowHooks();

// Runs `call` on the main thread (a probe answered within `probeMs` first);
// false when the main thread does not answer. Once a probe has gone
// unanswered, false at once for the rest of the exception in hand.
bool CallInMainThread(const std::function<void()>& call, int probeMs = 1500);

}  // namespace zelExcept
