#include "serial/PortProbe.h"

#include "serial/ComNames.h"
#include "serial/TtyDevice.h"

#include <cerrno>
#include <unistd.h>

namespace serial {

ProbeResult probeDevice(const QString &devicePath)
{
    if (devicePath.isEmpty()) return ProbeResult::Absent;
    const int fd = openDevice(devicePath);
    if (fd < 0) {
        switch (classifyOpenError(errno)) {
        case OpenError::Held:
            return ProbeResult::Held;
        case OpenError::NoPermission:
            return ProbeResult::NoPermission;
        default: // absent, and anything else that says "not here"
            return ProbeResult::Absent;
        }
    }
    // Looks at the open descriptor without changing anything about the port.
    ProbeResult result = ProbeResult::Free;
    if (!::isatty(fd) || isPhantomUart(fd, devicePath))
        result = ProbeResult::Absent;
    else if (heldByAnother(fd, devicePath))
        result = ProbeResult::Held;
    ::close(fd);
    return result;
}

ProbeResult probeCom(int com)
{
    return probeDevice(comDevicePath(com));
}

} // namespace serial
