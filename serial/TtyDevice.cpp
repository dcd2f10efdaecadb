#include "serial/TtyDevice.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace serial {

namespace {

speed_t speedFor(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

void closeQuietly(int fd)
{
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

} // namespace

int openExclusive(const QString &devicePath, int *error)
{
    int dummy = 0;
    if (!error) error = &dummy;
    *error = 0;
    if (devicePath.isEmpty()) {
        *error = ENOENT;
        return -1;
    }
    int fd;
    do {
        fd = ::open(QFile::encodeName(devicePath).constData(),
                    O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (!::isatty(fd)) {
        closeQuietly(fd);
        *error = ENOTTY;
        return -1;
    }
    // Root gets past another holder's exclusive flag, so look for it ourselves.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        closeQuietly(fd);
        *error = EBUSY;
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? EBUSY : errno;
        closeQuietly(fd);
        return -1;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        *error = errno;
        ::flock(fd, LOCK_UN);
        closeQuietly(fd);
        return -1;
    }
    return fd;
}

int configureLine(int fd, const LineSettings &settings)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return errno;
    ::cfmakeraw(&tio);

    const speed_t speed = speedFor(settings.baud);
    if (speed == B0) return EINVAL;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return errno;

    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (settings.dataBits) {
    case 5:
        tio.c_cflag |= CS5;
        break;
    case 6:
        tio.c_cflag |= CS6;
        break;
    case 7:
        tio.c_cflag |= CS7;
        break;
    case 8:
        tio.c_cflag |= CS8;
        break;
    default:
        return EINVAL;
    }
    switch (settings.parity) {
    case 'n':
    case 'N':
        break;
    case 'e':
    case 'E':
        tio.c_cflag |= PARENB;
        break;
    case 'o':
    case 'O':
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 'm':
    case 'M':
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 's':
    case 'S':
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        return EINVAL;
    }
    if (settings.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    else if (settings.stopBits != 1)
        return EINVAL;

    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return errno;
    return 0;
}

void closeExclusive(int fd)
{
    if (fd < 0) return;
    // Our own flag: on a pseudo-terminal it would otherwise outlive this descriptor.
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

} // namespace serial
