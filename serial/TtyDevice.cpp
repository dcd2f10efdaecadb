#include "serial/TtyDevice.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

// Whether any open descriptor in any process other than `ownFd` of this one names the
// device `device` (st_rdev). Root sees every process; other users cannot have got this far
// past a holder's exclusive flag anyway.
bool openElsewhere(dev_t device, int ownFd)
{
    const pid_t self = ::getpid();
    DIR *proc = ::opendir("/proc");
    if (!proc) return true; // cannot tell: assume the holder is alive
    bool found = false;
    while (!found) {
        const dirent *entry = ::readdir(proc);
        if (!entry) break;
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR *fds = ::opendir(fdDir.c_str());
        if (!fds) continue;
        while (const dirent *f = ::readdir(fds)) {
            const long n = std::strtol(f->d_name, &end, 10);
            if (*end != '\0' || f->d_name[0] == '.') continue;
            if (pid == self && n == ownFd) continue;
            struct stat st {};
            if (::stat((fdDir + "/" + f->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == device) {
                found = true;
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return found;
}

} // namespace

int openDevice(const QString &devicePath)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(devicePath).constData(),
                    O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool exclusiveFlagIsStale(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    ::flock(fd, LOCK_UN);
    return !openElsewhere(st.st_rdev, fd);
}

int openExclusive(const QString &devicePath, int *error)
{
    int dummy = 0;
    if (!error) error = &dummy;
    *error = 0;
    if (devicePath.isEmpty()) {
        *error = ENOENT;
        return -1;
    }
    const int fd = openDevice(devicePath);
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
        if (!exclusiveFlagIsStale(fd)) {
            closeQuietly(fd);
            *error = EBUSY;
            return -1;
        }
        ::ioctl(fd, TIOCNXCL); // left by a holder that is gone; ours follows below
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
