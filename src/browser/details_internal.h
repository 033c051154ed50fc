// Helpers shared by the sources of the message browser.
#pragma once

#include <QString>

#include <string>

#include "platform/inifile.h"
#include "settings/setup.h"
#include "transport/globals.h"
#include "transport/settings_file.h"

namespace details::internal {

inline QString Q(const std::string& s) { return QString::fromStdString(s); }
inline std::string S(const QString& s) { return s.toStdString(); }

inline std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

inline std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The settings window holds the live values; without it (tests, tools) the
// settings file gives them.
inline platform::IniFile SettingsFile() { return platform::IniFile(settings::IniPath()); }

inline bool ViewMessagesSetting() {
    if (FrmSettings != nullptr) return FrmSettings->viewMessages();
    return SettingsFile().ReadBool("General", "ViewMessages", true);
}

inline int DeletedDaysSetting() {
    if (FrmSettings != nullptr) return FrmSettings->deletedDays();
    return SettingsFile().ReadInteger("Remote", "DeletedDays", 30);
}

inline int SentDaysSetting() {
    if (FrmSettings != nullptr) return FrmSettings->sentDays();
    return SettingsFile().ReadInteger("Remote", "SentDays", 30);
}

}  // namespace details::internal
