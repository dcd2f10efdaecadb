#pragma once
// Probing a COM number: what the scan learns without disturbing anyone who holds the port.
// No termios change, no TIOCNXCL, and the port is closed again at once.
#include <QString>

namespace serial {

enum class ProbeResult {
    Absent,       // no node, dangling link, ENOENT/ENODEV/ENXIO/EIO, not a tty, phantom ttyS
    Free,         // could be opened and nobody holds it
    Held,         // EBUSY, exclusive flag set by another holder, or an flock conflict
    NoPermission, // EACCES/EPERM
};

ProbeResult probeDevice(const QString &devicePath);
ProbeResult probeCom(int com);

} // namespace serial
