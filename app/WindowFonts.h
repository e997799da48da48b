#pragma once

#include <QFont>

namespace quarnel {

// Arial in the given size; on Linux the metric-compatible Liberation Sans stands in for it.
QFont Arial(double pointSize, bool bold);
// The buttons' caption font, MS Sans Serif 9.75 pt.
QFont ButtonFont();
// Maps the window's Windows font names to fonts this system has. Once, before the window.
void InstallFontSubstitutes();

}  // namespace quarnel
