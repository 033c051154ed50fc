// Shared procedures of the windows: the status line and tray hint, the
// message-pumping delay, entry-field checks and small file and host helpers.
// The log files live with the engine (transport/logfile.h).
#pragma once

#include <cstdint>
#include <string>

#include "transport/logfile.h"

class QWidget;

namespace procs {

void SetStatus(const std::string& text, bool active);
void Delay(int milliseconds);
void ReplaceChar(const std::string& text, char character, const std::string& replacement,
                 std::string& result);
bool ValidateField(const std::string& text, bool checkCharacters, bool checkEmpty,
                   const std::string& fieldName);
std::int64_t FileSizeOf(const std::string& fileName);
void DeleteFiles(const std::string& folder, const std::string& mask);
void GetLocalIPList();
bool IsWin9x();
std::string GetWindowsDir();
void FetchURL(const std::string& url, std::string& text);  // throws std::runtime_error
void SetMinimizeAnimation(bool on);
void AnimateToTray(QWidget* form, bool toTray, bool forceAnimation);

}  // namespace procs
