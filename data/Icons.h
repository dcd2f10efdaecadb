#pragma once
// The program's own pictures, compiled in under ":/icons/".
//   ":/icons/narwickpanel.svg"  program icon (PNG renders ":/icons/narwickpanel-<size>.png")
//   ":/icons/refresh.svg"       16 x 16 refresh arrow (":/icons/refresh.png", "refresh@2x.png")
#include <QIcon>

namespace icons {

// The program icon at every rendered size, for the window and the application.
QIcon programIcon();

// The refresh arrow of the two port-list buttons, sharp at 100 % and 200 % scaling.
QIcon refreshIcon();

} // namespace icons
