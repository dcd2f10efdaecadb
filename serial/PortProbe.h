#pragma once
// Probing a COM number: what the scan learns without disturbing anyone who holds the port.
// No termios change, no TIOCNXCL, no lock file, and the port is closed again at once.
// A scan of many ports runs inside one serial::ProbeScope (serial/PortUsers.h), so that it
// looks through /proc once rather than once a port.
#include "serial/PortUsers.h"

#include <QString>

namespace serial {

enum class ProbeResult {
    Absent,       // no node, dangling link, ENOENT/ENODEV/ENXIO/EIO, not a tty, phantom ttyS
    Free,         // could be opened and nobody holds it
    Held,         // EBUSY, exclusive flag set by another holder, an flock conflict, a live
                  // UUCP lock file, or open in another process (one that takes no lock)
    NoPermission, // EACCES/EPERM
};

// `devicePath` is a canonical path (links followed), as comDevicePath gives it.
ProbeResult probeDevice(const QString &devicePath);
ProbeResult probeCom(int com);

} // namespace serial
