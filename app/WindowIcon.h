#pragma once

#include <QIcon>
#include <QImage>

namespace quarnel {

// The program's picture: a blue shield with a connection cut by a red bar. Drawn for any
// size; the window and the notification area use the 32 x 32 one.
QImage DrawWindowIcon(int size);
// The window's icon, with the sizes desktops ask for.
QIcon WindowIcon();

}  // namespace quarnel
