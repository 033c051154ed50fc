// Shared procedures of every feature: the status line and tray hint, the log
// files with their switches and size limit, the message-pumping delay,
// protocol-line splitting, entry-field checks and small file and host helpers.
#pragma once

#include <cstdint>
#include <string>

class QWidget;

namespace procs {

// Log switches and size limit; loaded by the settings window, written by the
// log viewer.
extern int LogSizeLimit;          // [General] LogSize, default 5000
extern bool LogClientActivity;    // [General] Logging1, default true
extern bool LogServerActivity;    // [General] Logging2, default false

void SetStatus(const std::string& text, bool active);
void WriteLog(const std::string& fileName, const std::string& line);
void TrimLogFile(const std::string& fileName);
void Delay(int milliseconds);
void SplitCommand(const std::string& line, std::string& command, std::string& argument);
void ReplaceChar(const std::string& text, char character, const std::string& replacement,
                 std::string& result);
bool ValidateField(const std::string& text, bool checkCharacters, bool checkEmpty,
                   const std::string& fieldName);
std::int64_t FileSizeOf(const std::string& fileName);
void DeleteFiles(const std::string& folder, const std::string& mask);
void GetLocalIPList();
std::string GetComputerName();
bool IsWin9x();
std::string GetWindowsDir();
void FetchURL(const std::string& url, std::string& text);  // throws std::runtime_error
void SetMinimizeAnimation(bool on);
void AnimateToTray(QWidget* form, bool toTray, bool forceAnimation);
void DebugTrace(const std::string& source, const std::string& party, const std::string& item,
                const std::string& note);

}  // namespace procs
