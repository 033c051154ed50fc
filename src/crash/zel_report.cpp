// Placeholder report and actions until the report unit lands: a minimal
// text, no file, no mail, and no dialog (the program goes on).
#include "zel_exception.h"

namespace zelExcept {

std::string CreateBugReport(const TExceptionRecord& exception, const std::vector<TThreadSnapshot>& threads) {
    std::string report = "exception class   : " + (exception.HasObject ? exception.ClassName : "Unknown");
    for (const TThreadSnapshot& thread : threads) {
        report += "\r\n\r\n" + thread.DisplayName + ":\r\n";
        zelStackTrace::TWalkOptions options;
        options.RaisedThroughRunTime = thread.RaisedThroughRunTime;
        report += zelStackTrace::WalkStack(options, thread.Stack,
                                           thread.Tid == exception.ThreadId ? exception.Address : 0,
                                           thread.Preset.empty() ? nullptr : &thread.Preset);
    }
    return report;
}

bool SaveBugReport(const std::string&, bool) { return false; }
bool MailBugReport(const std::string&, bool) { return false; }

TAction ShowExceptionDialog(const TExceptionRecord& exception, std::string&,
                            const std::function<bool(TAction, std::string&)>&) {
    return exception.CanContinue ? actContinue : actClose;
}

}  // namespace zelExcept
