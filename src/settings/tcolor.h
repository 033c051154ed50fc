// TColor values of the settings file (FormColor, TextColor) as the
// windows' colours.
#pragma once

#include <QColor>

namespace settings {

// TColor: 0x00BBGGRR for plain colours, 0x80000000 + index for the system
// colours of the desktop scheme.
QColor ColorFromTColor(int tcolor);
int TColorFromColor(const QColor& color);

}  // namespace settings
