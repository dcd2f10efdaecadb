#include "tests/support/PtyPair.h"

#include "tools/sim/Pseudoterminal.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {
// How long write() waits for the slave side to make room.
constexpr int kWriteWaitMs = 30000;
} // namespace

PtyPair::PtyPair()
{
    std::string slave;
    m_master = pty::openMaster(true, &slave);
    if (m_master >= 0) m_slavePath = QFile::decodeName(QByteArray::fromStdString(slave));
}

PtyPair::~PtyPair()
{
    hangUp();
}

bool PtyPair::write(const QByteArray &bytes, const std::function<void()> &afterTurn)
{
    if (m_master < 0) return false;
    QDeadlineTimer deadline(kWriteWaitMs);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            deadline.setRemainingTime(kWriteWaitMs);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (deadline.hasExpired()) return false;
        // The slave's buffer is full. The reader is usually the program under test on this
        // same thread, so let its event loop run; then wait a little for room.
        if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (afterTurn) afterTurn();
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

OtherProcess::OtherProcess(const QString &path, unsigned uid)
{
    const QByteArray encoded = QFile::encodeName(path);
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(1);
        // A process that changed its user is not dumpable, which hides its /proc/<pid>/fd
        // even from that user; one the user started himself is.
        if (uid != 0) ::prctl(PR_SET_DUMPABLE, 1);
        if (!encoded.isEmpty() &&
            ::open(encoded.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) < 0)
            ::_exit(1);
        const char ok = 1;
        if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
        for (;;)
            ::pause(); // until the test ends us
    }
    ::close(ready[1]);
    char ok = 0;
    ssize_t n;
    do {
        n = child > 0 ? ::read(ready[0], &ok, 1) : 0;
    } while (n < 0 && errno == EINTR);
    ::close(ready[0]);
    if (child > 0 && n != 1) ::waitpid(child, nullptr, 0);
    m_pid = n == 1 ? child : -1;
}

OtherProcess::~OtherProcess()
{
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
}

namespace {
void setEnv(const char *name, const std::optional<QByteArray> &value)
{
    value ? qputenv(name, *value) : qunsetenv(name);
}
} // namespace

ScopedEnv::ScopedEnv(const char *name, const std::optional<QByteArray> &value)
    : m_name(name),
      m_previous(qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt)
{
    setEnv(name, value);
}

ScopedEnv::~ScopedEnv()
{
    setEnv(m_name, m_previous);
}

LockDir::LockDir() : m_env("NARWICKPANEL_LOCK_DIRS", QFile::encodeName(m_dir.path())) {}

QString LockDir::lockFile(const QString &devicePath) const
{
    return m_dir.filePath(QStringLiteral("LCK..") + devicePath.section(QLatin1Char('/'), -1));
}

ComDir::ComDir() : m_env("NARWICKPANEL_COM_DIR", QFile::encodeName(m_dir.path())) {}

void ComDir::map(int com, const QString &target)
{
    const std::string link =
        QFile::encodeName(m_dir.path() + QStringLiteral("/com%1").arg(com)).toStdString();
    if (pty::publishLink(QFile::encodeName(target).toStdString(), link) != 0)
        qWarning("ComDir: cannot link COM %d to %s", com, qPrintable(target));
}

void ComDir::unmap(int com)
{
    const QByteArray link = QFile::encodeName(m_dir.path() + QStringLiteral("/com%1").arg(com));
    ::unlink(link.constData());
}

} // namespace testsupport
