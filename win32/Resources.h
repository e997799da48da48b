#pragma once

// The program's resources (quarnel.rc, which the resource compiler reads through the C
// preprocessor): its icon, also the window's and the notification icon's.
#define QUARNEL_ICON 1
