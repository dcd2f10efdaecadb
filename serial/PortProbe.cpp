#include "serial/PortProbe.h"

#include "serial/ComNames.h"
#include "serial/TtyDevice.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace serial {

namespace {

// A /dev/ttyS node whose UART type is unknown is a phantom: the driver reserves the minor
// number but there is no hardware behind it.
bool isPhantomUart(int fd, const QString &devicePath)
{
    if (!devicePath.startsWith(QLatin1String("/dev/ttyS"))) return false;
    struct serial_struct info {};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
    return info.type == PORT_UNKNOWN;
}

// Looks at an open descriptor without changing anything about the port.
ProbeResult classifyOpen(int fd, const QString &devicePath)
{
    if (!::isatty(fd)) return ProbeResult::Absent;
    if (isPhantomUart(fd, devicePath)) return ProbeResult::Absent;

    // As root the exclusive flag does not stop the open, so ask for it.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive && !exclusiveFlagIsStale(fd))
        return ProbeResult::Held;

    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? ProbeResult::Held : ProbeResult::Free;
    ::flock(fd, LOCK_UN);
    return ProbeResult::Free;
}

} // namespace

ProbeResult probeDevice(const QString &devicePath)
{
    if (devicePath.isEmpty()) return ProbeResult::Absent;
    const int fd = openDevice(devicePath);
    if (fd < 0) {
        switch (errno) {
        case EBUSY:
            return ProbeResult::Held;
        case EACCES:
        case EPERM:
            return ProbeResult::NoPermission;
        default: // ENOENT, ENODEV, ENXIO, EIO and anything else that says "not here"
            return ProbeResult::Absent;
        }
    }
    const ProbeResult result = classifyOpen(fd, devicePath);
    ::close(fd);
    return result;
}

ProbeResult probeCom(int com)
{
    return probeDevice(comDevicePath(com));
}

} // namespace serial
