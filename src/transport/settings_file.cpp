// Encodings of the settings file shared by the settings window and its readers.
#include "transport/settings_file.h"

#include "platform/inifile.h"
#include "transport/globals.h"

namespace settings {

std::string IniPath() { return ProgramDir + kIniFileName; }

std::string TimeToText(const QTime& t) { return t.toString("HH:mm").toStdString(); }

QTime TimeFromText(const std::string& text) {
    const QString s = QString::fromStdString(text).trimmed();
    static const char* const formats[] = {"H:mm", "H:mm:ss", "h:mm AP", "h:mm:ss AP",
                                          "h:mmAP", "h:mm ap", "h:mm:ss ap"};
    for (const char* f : formats) {
        QTime t = QTime::fromString(s, QString::fromLatin1(f));
        if (t.isValid()) return t;
    }
    return QTime();
}

bool KeepAuto() { return platform::IniFile(IniPath()).ReadBool("Connect", "KeepAuto", false); }
int PopTimeout() {
    return platform::IniFile(IniPath()).ReadInteger("POP", "Timeout", kDefaultPopTimeout);
}
bool XPMenu() { return platform::IniFile(IniPath()).ReadBool("General", "XPMenu", true); }
bool ConfirmExit() { return platform::IniFile(IniPath()).ReadBool("General", "ConfirmExit", true); }

bool WriteState(const std::string& section, const std::string& key, const std::string& value) {
    return platform::IniFile(IniPath()).WriteString(section, key, value);
}
bool WriteState(const std::string& section, const std::string& key, long long value) {
    return platform::IniFile(IniPath()).WriteInteger(section, key, value);
}
bool EraseState(const std::string& section) { return platform::IniFile(IniPath()).EraseSection(section); }

}  // namespace settings
