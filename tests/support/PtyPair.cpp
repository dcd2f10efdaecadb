#include "tests/support/PtyPair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace testsupport {

namespace {
// How long write() waits in total for the slave side to make room.
constexpr int kWriteWaitMs = 10000;
} // namespace

PtyPair::PtyPair()
{
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    char name[128];
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
        ::close(fd);
        return;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        ::close(fd);
        return;
    }
    m_master = fd;
    m_slavePath = QFile::decodeName(name);
}

PtyPair::~PtyPair()
{
    hangUp();
}

bool PtyPair::write(const QByteArray &bytes)
{
    if (m_master < 0) return false;
    QDeadlineTimer deadline(kWriteWaitMs);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (deadline.hasExpired()) return false;
        // The slave's buffer is full. The reader is usually the program under test on this
        // same thread, so let its event loop run; then wait a little for room.
        if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents);
        pollfd p{m_master, POLLOUT, 0};
        ::poll(&p, 1, 1);
        ::usleep(500); // a pty master may poll writable while its write still fails
    }
    return true;
}

QByteArray PtyPair::readSent()
{
    QByteArray sent;
    if (m_master < 0) return sent;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, chunk, sizeof chunk);
        if (n > 0) {
            sent.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break; // EAGAIN: nothing more; EIO: no slave open right now
    }
    return sent;
}

void PtyPair::hangUp()
{
    if (m_master < 0) return;
    ::close(m_master);
    m_master = -1;
}

ComDir::ComDir()
{
    m_hadPrevious = qEnvironmentVariableIsSet("NARWICKPANEL_COM_DIR");
    m_previous = qgetenv("NARWICKPANEL_COM_DIR");
    qputenv("NARWICKPANEL_COM_DIR", QFile::encodeName(m_dir.path()));
}

ComDir::~ComDir()
{
    if (m_hadPrevious)
        qputenv("NARWICKPANEL_COM_DIR", m_previous);
    else
        qunsetenv("NARWICKPANEL_COM_DIR");
}

void ComDir::map(int com, const QString &target)
{
    unmap(com);
    const QByteArray link = QFile::encodeName(m_dir.path() + QStringLiteral("/com%1").arg(com));
    if (::symlink(QFile::encodeName(target).constData(), link.constData()) != 0)
        qWarning("ComDir: cannot link COM %d to %s", com, qPrintable(target));
}

void ComDir::unmap(int com)
{
    const QByteArray link = QFile::encodeName(m_dir.path() + QStringLiteral("/com%1").arg(com));
    ::unlink(link.constData());
}

} // namespace testsupport
