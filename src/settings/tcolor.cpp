// TColor values and the windows' colours.
#include "settings/tcolor.h"

namespace settings {

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

}  // namespace settings
