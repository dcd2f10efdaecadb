#include "serial/TtyDevice.h"

#include "serial/PortUsers.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
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

OpenError classifyOpenError(int code)
{
    switch (code) {
    case 0:
        return OpenError::None;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
        return OpenError::Absent;
    case EBUSY:
        return OpenError::Held;
    case EACCES:
    case EPERM:
        return OpenError::NoPermission;
    case ENOTTY:
        return OpenError::NotSerial;
    default:
        return OpenError::Other;
    }
}

bool isPhantomUart(int fd, const QString &devicePath)
{
    if (!devicePath.startsWith(QLatin1String("/dev/ttyS"))) return false;
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
    return info.type == PORT_UNKNOWN;
}

bool exclusiveFlagIsStale(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    ::flock(fd, LOCK_UN);
    // Our own other descriptors count here: the flag may be the one our other link set.
    return !openInOtherProcess(st.st_rdev) && !openInThisProcess(st.st_rdev, fd);
}

bool heldByAnother(int fd, const QString &devicePath, bool *staleExclusiveFlag)
{
    if (staleExclusiveFlag) *staleExclusiveFlag = false;
    // Root gets past another holder's exclusive flag, so look for it ourselves.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        if (!exclusiveFlagIsStale(fd)) return true;
        if (staleExclusiveFlag) *staleExclusiveFlag = true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
    ::flock(fd, LOCK_UN);
    // Programs that take no lock at all: a lock file, or just an open descriptor.
    if (lockedByOtherProcess(devicePath)) return true;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && openInOtherProcess(st.st_rdev);
}

ExclusivePort openExclusive(const QString &devicePath, int *error)
{
    int dummy = 0;
    if (!error) error = &dummy;
    *error = 0;
    if (devicePath.isEmpty()) {
        *error = ENOENT;
        return {};
    }
    const int fd = openDevice(devicePath);
    if (fd < 0) {
        *error = errno;
        return {};
    }
    const auto refuse = [&](int code) {
        closeQuietly(fd);
        *error = code;
        return ExclusivePort();
    };
    if (!::isatty(fd)) return refuse(ENOTTY);
    if (isPhantomUart(fd, devicePath)) return refuse(ENODEV);
    bool staleFlag = false;
    if (heldByAnother(fd, devicePath, &staleFlag)) return refuse(EBUSY);
    if (staleFlag) ::ioctl(fd, TIOCNXCL); // left by a holder that is gone; ours follows below
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(errno == EWOULDBLOCK ? EBUSY : errno);
    if (::ioctl(fd, TIOCEXCL) != 0) return refuse(errno);
    QStringList lockFiles;
    if (!takeLockFiles(devicePath, &lockFiles)) {
        ::ioctl(fd, TIOCNXCL);
        return refuse(EBUSY); // a terminal program took it just now
    }
    return ExclusivePort(fd, std::move(lockFiles));
}

ExclusivePort::ExclusivePort(ExclusivePort &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_lockFiles(std::exchange(other.m_lockFiles, {}))
{
}

ExclusivePort &ExclusivePort::operator=(ExclusivePort &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_lockFiles = std::exchange(other.m_lockFiles, {});
    }
    return *this;
}

void ExclusivePort::close()
{
    if (m_fd < 0) return;
    // Our own flag: on a pseudo-terminal it would otherwise outlive this descriptor.
    ::ioctl(m_fd, TIOCNXCL);
    ::flock(m_fd, LOCK_UN);
    ::close(std::exchange(m_fd, -1));
    releaseLockFiles(std::exchange(m_lockFiles, {}));
}

int configureLine(int fd, const LineSettings &settings)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return errno;
    ::cfmakeraw(&tio);

    const speed_t speed = speedFor(settings.baud);
    if (speed == B0) return EINVAL;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return errno;

    tcflag_t format = 0;
    if (!characterFormat(settings, &format)) return EINVAL;
    tio.c_cflag &= ~(kCharacterFormatMask | CRTSCTS);
    tio.c_cflag |= format;
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return errno;
    return 0;
}

bool characterFormat(const LineSettings &settings, tcflag_t *bits)
{
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (settings.dataBits < 5 || settings.dataBits > 8) return false;
    tcflag_t format = sizes[settings.dataBits - 5];
    switch (settings.parity) {
    case 'n':
    case 'N':
        break;
    case 'e':
    case 'E':
        format |= PARENB;
        break;
    case 'o':
    case 'O':
        format |= PARENB | PARODD;
        break;
    case 'm':
    case 'M':
        format |= PARENB | CMSPAR | PARODD;
        break;
    case 's':
    case 'S':
        format |= PARENB | CMSPAR;
        break;
    default:
        return false;
    }
    if (settings.stopBits == 2)
        format |= CSTOPB;
    else if (settings.stopBits != 1)
        return false;
    *bits = format;
    return true;
}

ReadResult readSome(int fd, void *buffer, size_t size)
{
    ReadResult result;
    ssize_t n;
    do {
        n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        result.status = ReadResult::Data;
        result.bytes = n;
        return result;
    }
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
        // With VMIN 0 an empty read returns 0 like an end of file; poll tells the two apart (a
        // hung-up tty polls as hung up; a pty whose master closed reads EIO).
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            result.status = ReadResult::HungUp;
        return result;
    }
    result.error = errno;
    result.status = (errno == EIO || errno == ENXIO || errno == ENODEV) ? ReadResult::HungUp
                                                                        : ReadResult::Error;
    return result;
}

namespace {

bool readCounts(int fd, int counts[5])
{
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return false;
    counts[0] = ic.brk; // LineBreak
    counts[1] = ic.frame;
    counts[2] = ic.overrun;
    counts[3] = ic.parity;
    counts[4] = ic.buf_overrun;
    return true;
}

} // namespace

void LineErrorCounters::reset(int fd)
{
    m_available = fd >= 0 && readCounts(fd, m_counts);
}

unsigned LineErrorCounters::changed(int fd)
{
    if (!m_available) return 0;
    int now[5];
    if (!readCounts(fd, now)) {
        m_available = false;
        return 0;
    }
    unsigned bits = 0;
    for (int i = 0; i < 5; ++i)
        if (now[i] != m_counts[i]) bits |= 1u << i;
    std::copy(now, now + 5, m_counts);
    return bits;
}

} // namespace serial
