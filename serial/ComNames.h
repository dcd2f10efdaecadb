#pragma once
// COM numbers on Linux.
//
// COM N is looked up first in the override directory: if <comdir>/comN exists (a symlink or a
// device node) COM N is its target. <comdir> is $NARWICKPANEL_COM_DIR when that is set (and
// then it is the whole COM namespace), else $XDG_CONFIG_HOME/NarwickPanel/com, whose entries
// override single numbers of the fixed table:
//   COM1-COM10  -> /dev/ttyS0-/dev/ttyS9
//   COM11-COM20 -> /dev/ttyUSB0-/dev/ttyUSB9
//   COM21-COM30 -> /dev/ttyACM0-/dev/ttyACM9
//   COM31 and up: the override directory only.
// The mapping is resolved afresh on every call.
#include <QString>

namespace serial {

// The override directory in force now.
QString comDirectory();

// True when $NARWICKPANEL_COM_DIR is set, so the default table does not apply.
bool comDirectoryIsWholeNamespace();

// The device path COM `com` names before links are followed (for tool tips), or empty.
QString comNominalPath(int com);

// The canonical device path of COM `com` (links followed), or empty when the number maps to
// nothing or to a dangling link.
QString comDevicePath(int com);

} // namespace serial
