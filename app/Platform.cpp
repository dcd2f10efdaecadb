#include "app/Platform.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// The user's runtime folder, when XDG_RUNTIME_DIR names one fit for a lock: an absolute path
// to an existing folder of this user that nobody else may write to. Never created or changed
// (Qt's own lookup creates /tmp/runtime-<user> when there is none and resets permissions).
QString runtimeFolder()
{
    const QByteArray dir = qgetenv("XDG_RUNTIME_DIR");
    if (!dir.startsWith('/')) return {};
    struct stat st {};
    if (::stat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return {};
    return QFile::decodeName(dir);
}

// The user's login name for a file name, or the user number when there is no usable name.
QString userTag()
{
    const uid_t uid = ::geteuid();
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size_t(size > 0 ? size : 16384));
    struct passwd pw {};
    struct passwd *found = nullptr;
    if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name) {
        const QString name = QFile::decodeName(found->pw_name);
        if (!name.contains(u'/') && name != QLatin1String(".") && name != QLatin1String(".."))
            return name;
    }
    return QString::number(uid);
}

// The runtime folder as Qt's own look-up accepts it without creating or changing anything: an
// existing folder (not a link) of this user with mode 0700 exactly.
bool qtAcceptsRuntimeFolder()
{
    const QByteArray dir = qgetenv("XDG_RUNTIME_DIR");
    if (dir.isEmpty()) return false;
    struct stat st {};
    return ::lstat(dir.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 07777) == 0700;
}

std::optional<QByteArray> environment(const char *name)
{
    if (!qEnvironmentVariableIsSet(name)) return std::nullopt;
    return qgetenv(name);
}

void restore(const char *name, const std::optional<QByteArray> &value)
{
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}

QtMessageHandler forwardTo = nullptr;

// Qt's warnings about the runtime folder it could not make are the expected outcome.
void quietRuntimeWarnings(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.startsWith(QLatin1String("QStandardPaths:"))) return;
    if (forwardTo) {
        forwardTo(type, context, text);
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

} // namespace

StartupWithoutFolders::StartupWithoutFolders()
{
    if (qtAcceptsRuntimeFolder()) return;
    m_active = true;
    m_runtime = environment("XDG_RUNTIME_DIR");
    m_tmpdir = environment("TMPDIR");
    // No runtime folder named, and a temporary folder under which nothing can be made: the
    // look-up's fallback <temp>/runtime-<user> then fails (not a directory) and stays empty.
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", "/dev/null");
    m_previousHandler = qInstallMessageHandler(quietRuntimeWarnings);
    forwardTo = m_previousHandler;
}

StartupWithoutFolders::~StartupWithoutFolders()
{
    if (!m_active) return;
    qInstallMessageHandler(m_previousHandler);
    forwardTo = nullptr;
    restore("XDG_RUNTIME_DIR", m_runtime);
    restore("TMPDIR", m_tmpdir);
}

void withoutSessionBusLaunch()
{
    if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS")) return;
    // The bus library's own default when the variable is unset: the user's bus socket.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime.startsWith('/') && ::stat((runtime + "/bus").constData(), &st) == 0 &&
        S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid())
        return;
    // Under /dev/null nothing can ever be made: connecting fails at once.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/dev/null/no-session-bus");
}

QString documentsFolder()
{
    // A service has no desktop: its unit names the folder in the environment.
    const QByteArray named = qgetenv("XDG_DOCUMENTS_DIR");
    if (named.startsWith('/')) return QFile::decodeName(named);
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || QDir::isAbsolutePath(folder)) return folder;
    // user-dirs.dirs may hold only absolute paths: a relative XDG_DOCUMENTS_DIR would put the
    // data folder under whatever folder the program was started in, so it counts as unset.
    const QString home = QDir::homePath();
    return QDir::isAbsolutePath(home) ? home + QStringLiteral("/Documents") : QString();
}

bool openInFileBrowser(const QString &folder)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

InstanceLock::InstanceLock()
{
    const QString runtime = runtimeFolder();
    if (!runtime.isEmpty()) {
        m_path = runtime + QStringLiteral("/narwickpanel.lock");
        return;
    }
    // Without a runtime folder the lock lies in the temporary folder itself, named for the
    // user, so that two users' copies do not exclude each other.
    QString temp = QDir::tempPath();
    if (!QDir::isAbsolutePath(temp)) temp = QStringLiteral("/tmp");
    m_path = temp + QStringLiteral("/narwickpanel-%1.lock").arg(userTag());
}

InstanceLock::~InstanceLock()
{
    if (m_fd < 0) return;
    // Removed while still locked, and only while the name is still our file; a copy that
    // opened it just before sees it gone once it has the lock, and tries again.
    struct stat held {};
    struct stat named {};
    const QByteArray path = QFile::encodeName(m_path);
    if (::fstat(m_fd, &held) == 0 && ::lstat(path.constData(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
        ::unlink(path.constData());
    ::close(m_fd);
}

bool InstanceLock::tryLock()
{
    if (m_fd >= 0) return true;
    m_problem.clear();
    const QByteArray path = QFile::encodeName(m_path);
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Never through a link, never waiting on a FIFO.
        const int fd =
            ::open(path.constData(),
                   O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
        const int openError = errno;
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            if (fd >= 0) ::close(fd);
            const bool taken = fd >= 0 || openError == ELOOP || openError == EISDIR ||
                               openError == EACCES || openError == EPERM || openError == ENXIO;
            m_problem = taken ? QStringLiteral("is taken by something else")
                              : QString::fromLocal8Bit(std::strerror(openError));
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return false; // a running copy holds it
        }
        // A copy that was quitting may have removed the name since: lock what it names now.
        struct stat named {};
        if (::lstat(path.constData(), &named) != 0 || named.st_dev != st.st_dev ||
            named.st_ino != st.st_ino) {
            ::close(fd);
            continue;
        }
        // Our PID, for whoever looks.
        char text[16];
        const int n = std::snprintf(text, sizeof text, "%d\n", int(::getpid()));
        if (::ftruncate(fd, 0) == 0 && ::write(fd, text, size_t(n)) != n) {
            // only a note: the flock is the lock
        }
        m_fd = fd;
        return true;
    }
    m_problem = QStringLiteral("is taken by something else");
    return false;
}

namespace {

int g_signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: one byte into the pipe, read on the window's thread.
void onTerminationSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void quitOnTerminationSignals()
{
    if (g_signalPipe[0] >= 0) return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    auto *notifier =
        new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char bytes[16];
        while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
        // Before the main loop runs (the refusal box at start-up) quit() ends nothing: every
        // running loop, a box's too, ends here.
        QCoreApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

} // namespace platform
