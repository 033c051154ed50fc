// The bug report: the machine, the process and the exception, then the
// stacks of the threads; and the report file it is saved to. The facts of
// the machine are gathered in one step and formatted in another, so a test
// can hand in its own facts and get a report it can compare byte for byte.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "zel_exception.h"
#include "zel_settings.h"

namespace zelExcept {

// The crash library's own version, on the report's last header line.
inline constexpr char kLibraryVersion[] = "1.0";

// What the report header says about the machine and the process. A line
// whose fact is not known (empty text, Has... false) is left out.
struct TSystemFacts {
    platform::LocalTime Now;
    std::string ComputerName;
    std::string ClientName;      // the remote host of the user's session; empty for none
    std::string UserName;
    std::string OsName;          // os-release's PRETTY_NAME
    std::string OsBuild;         // the kernel release
    std::string Language;        // empty for the C locale
    bool HasSystemUpTime = false;
    std::uint64_t SystemUpSeconds = 0;
    std::uint64_t ProgramUpMs = 0;
    std::string ProcessorName;
    int ProcessorCount = 0;
    bool HasMemory = false;
    std::uint64_t MemoryFreeMB = 0, MemoryTotalMB = 0;
    // Mount point and free bytes: the root first, then the program folder's
    // file system when it is another one.
    std::vector<std::pair<std::string, std::uint64_t>> DiskFree;
    bool HasDisplay = false;
    int DisplayWidth = 0, DisplayHeight = 0, DisplayDepth = 0;
    pid_t ProcessId = 0;
    bool HasAllocated = false;
    std::uint64_t AllocatedBytes = 0;
    std::string CommandLine;
    bool HasParameters = false;
    std::string Executable;
    std::string CurrentModule;   // empty when the library is in the executable
    bool HasExecutableTime = false;
    platform::LocalTime ExecutableTime;
    std::string Version;         // "1.0.0.0"; empty or "0.0.0.0" leaves the line out
    char DecimalSeparator = ',';
};

TSystemFacts GatherSystemFacts();
// The remote host the user's session comes from, by what tells it first:
// SSH_CONNECTION's client address, the login session's REMOTE_HOST (the
// text of its session file), the login record's host of our terminal.
// Empty when the session is local.
std::string ClientNameFrom(const std::string& sshConnection, const std::string& sessionFile,
                           const std::string& loginHost);

// Notes the primary screen's mode for later reports. Main thread only:
// the exception thread never touches the GUI itself.
void NoteDisplayMode();

// "1 day 3 hours ", "5 minutes 1 second ": the two largest units from the
// first that is not 0.
std::string DurationText(std::uint64_t seconds);
// The message as the report ends it: a trailing run of "." and "!" cut to
// its first character, then ".".
std::string PunctuatedMessage(const std::string& message);

std::string BugReportHeader(const TSystemFacts& facts, const TExceptionRecord& exception,
                            const TSettingsBlock& settings);
// The threads in report order: the faulting one (for a frozen report the
// main one), then the main one, then (with all threads on) the rest.
// With a progress record, one phase per listed thread, weighted by its stack.
std::string ThreadReport(const TExceptionRecord& exception, const std::vector<TThreadSnapshot>& threads,
                         const TSettingsBlock& settings, zelStackTrace::TProgress* progress = nullptr);
std::string BuildBugReport(const TSystemFacts& facts, const TExceptionRecord& exception,
                           const std::vector<TThreadSnapshot>& threads, const TSettingsBlock& settings,
                           zelStackTrace::TProgress* progress = nullptr);

// The placeholders of the settings block's texts.
std::string AppName();                                   // executable name without extension
std::string ExceptMessageOf(const std::string& report);  // the "exception message" line's text
std::string ExpandPlaceholders(std::string text, const std::string& report);

// The program folder with a trailing "/" ($TARNWICK_HOME or the executable's).
std::string ProgramFolder();
// The report file's full name: relative names lie in the program folder.
std::string ReportFilePath(const TSettingsBlock& settings);

// Appends the report and an empty line to `path` under an exclusive lock
// (limit 0: the file holds only this report), then trims the file from the
// front to its newest whole reports when it outgrew `limit`.
bool AppendReportToFile(const std::string& path, const std::string& report, int limit);

}  // namespace zelExcept
