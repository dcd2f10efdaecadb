#pragma once
// The window's typeface, compiled in under ":/fonts/": Lato Regular and Lato Bold (SIL Open
// Font License 1.1, data/fonts/OFL.txt), so that captions are drawn and measured the same on
// every machine, whatever fonts it has.
#include <QString>

namespace fonts {

// The family the embedded faces register under.
QString family();

// Adds the embedded faces to the application's font database; needs a QGuiApplication. Only
// the first call loads them, later ones return the first result. Returns family(), or an empty
// string when a face could not be loaded (the window then falls back on the system's fonts).
QString loadEmbedded();

} // namespace fonts
