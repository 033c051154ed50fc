// Encodings of the settings file shared by the settings window and its readers.
#include "settings/settings_file.h"

#include "platform/inifile.h"
#include "transport/globals.h"

namespace settings {

std::string IniPath() { return ProgramDir + "tarnwick.ini"; }

namespace {

// The system colour indexes the program's defaults use, mapped onto the
// palette roles that play the same part here.
QColor SystemColor(int index) {
    switch (index) {
    case 5: return QColor(Qt::white);            // window background
    case 8: return QColor(Qt::black);            // window text
    case 15: return QColor(0xF0, 0xF0, 0xF0);    // button face
    case 18: return QColor(Qt::black);           // button text
    default: return QColor(0xF0, 0xF0, 0xF0);
    }
}

}  // namespace

QColor ColorFromTColor(int tcolor) {
    auto u = static_cast<unsigned>(tcolor);
    if (u & 0x80000000u) return SystemColor(static_cast<int>(u & 0xFFu));
    return QColor(static_cast<int>(u & 0xFF), static_cast<int>((u >> 8) & 0xFF),
                  static_cast<int>((u >> 16) & 0xFF));
}

int TColorFromColor(const QColor& color) {
    unsigned u = static_cast<unsigned>(color.red()) | (static_cast<unsigned>(color.green()) << 8) |
                 (static_cast<unsigned>(color.blue()) << 16);
    return static_cast<int>(u);
}

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

}  // namespace settings
