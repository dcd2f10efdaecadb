#include "serial/PortUsers.h"

#include <QFile>
#include <QFuture>
#include <QObject>
#include <QPromise>
#include <QThreadPool>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace serial {

namespace {

const char *const kLockDirsVariable = "NARWICKPANEL_LOCK_DIRS";

// The character devices other processes hold, sorted: one pass over /proc per scope.
struct ScopeDevices {
    int depth = 0;
    bool taken = false;
    std::vector<dev_t> devices;
};

thread_local ScopeDevices t_scope;

bool isNumber(const char *name)
{
    if (!*name) return false;
    for (const char *c = name; *c; ++c)
        if (*c < '0' || *c > '9') return false;
    return true;
}

// Calls `found(fd name, rdev)` for every character device the descriptors in /proc/<pid>/fd
// name, until it returns true. Only links into /dev are followed: reading a link never touches the
// file it names, while following one to a hung network mount could block.
template <typename Found> bool forEachOpenDevice(int procFd, const char *pid, Found found)
{
    const std::string path = std::string(pid) + "/fd";
    const int dirFd = ::openat(procFd, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return false; // gone, or another user's process
    DIR *fds = ::fdopendir(dirFd);
    if (!fds) {
        ::close(dirFd);
        return false;
    }
    bool stop = false;
    while (!stop) {
        const dirent *f = ::readdir(fds);
        if (!f) break;
        if (!isNumber(f->d_name)) continue;
        char target[16];
        const ssize_t n = ::readlinkat(dirFd, f->d_name, target, sizeof target);
        if (n < 5 || std::memcmp(target, "/dev/", 5) != 0) continue;
        struct stat st {};
        if (::fstatat(dirFd, f->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode))
            stop = found(f->d_name, st.st_rdev);
    }
    ::closedir(fds);
    return stop;
}

// Runs `found` over the devices of every process but ours; true when it stopped early.
template <typename Found> bool forEachOtherProcessDevice(Found found)
{
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0) return false;
    DIR *proc = ::fdopendir(procFd);
    if (!proc) {
        ::close(procFd);
        return false;
    }
    char self[16];
    std::snprintf(self, sizeof self, "%d", int(::getpid()));
    bool stopped = false;
    while (const dirent *entry = ::readdir(proc)) {
        if (!isNumber(entry->d_name) || std::strcmp(entry->d_name, self) == 0) continue;
        if (forEachOpenDevice(procFd, entry->d_name,
                              [&](const char *, dev_t device) { return found(device); })) {
            stopped = true;
            break;
        }
    }
    ::closedir(proc);
    return stopped;
}

std::vector<dev_t> otherProcessDevices()
{
    std::vector<dev_t> devices;
    forEachOtherProcessDevice([&](dev_t device) {
        devices.push_back(device);
        return false;
    });
    std::sort(devices.begin(), devices.end());
    devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
    return devices;
}

QByteArray lockFileContent()
{
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%10d\n", int(::getpid()));
    return QByteArray(text, n);
}

bool processAlive(pid_t pid)
{
    if (pid <= 0) return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// A lock that names a live process other than ours.
bool liveForeignLock(const QString &lockPath)
{
    const pid_t owner = lockFileOwner(lockPath);
    return owner != ::getpid() && processAlive(owner);
}

// Writes `content` to a new lock file `lockPath` in one step (a reader never sees it half
// written): a temporary file linked to its name. Returns 0, EEXIST or another errno value.
int createLockFile(const QByteArray &lockPath, const QByteArray &content)
{
    const QByteArray temp = lockPath + ".tmp" + QByteArray::number(::getpid());
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    const bool written =
        ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size());
    ::close(fd);
    int result = written ? 0 : EIO;
    if (result == 0 && ::link(temp.constData(), lockPath.constData()) != 0) result = errno;
    ::unlink(temp.constData());
    return result;
}

} // namespace

std::size_t otherProcessDescriptors()
{
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0) return 0;
    DIR *proc = ::fdopendir(procFd);
    if (!proc) {
        ::close(procFd);
        return 0;
    }
    char self[16];
    std::snprintf(self, sizeof self, "%d", int(::getpid()));
    std::size_t total = 0;
    while (const dirent *entry = ::readdir(proc)) {
        if (!isNumber(entry->d_name) || std::strcmp(entry->d_name, self) == 0) continue;
        const std::string path = std::string(entry->d_name) + "/fd";
        struct stat st {};
        if (::fstatat(procFd, path.c_str(), &st, 0) == 0 && st.st_size > 0)
            total += std::size_t(st.st_size);
    }
    ::closedir(proc);
    return total;
}

void afterLookAtOtherProcesses(QObject *context, std::function<void()> then)
{
    // One worker, never ended: looks come back in the order they were asked for.
    static QThreadPool *const worker = [] {
        auto *pool = new QThreadPool;
        pool->setMaxThreadCount(1);
        pool->setExpiryTimeout(-1);
        return pool;
    }();
    auto promise = std::make_shared<QPromise<std::vector<dev_t>>>();
    QFuture<std::vector<dev_t>> look = promise->future();
    promise->start();
    worker->start([promise] {
        // The window thread comes first when the cores are busy.
        ::setpriority(PRIO_PROCESS, id_t(::gettid()), 10);
        promise->addResult(otherProcessDevices());
        promise->finish();
    });
    look.then(context, [then = std::move(then)](std::vector<dev_t> devices) {
        ProbeScope scope;
        if (t_scope.depth == 1) {
            t_scope.devices = std::move(devices);
            t_scope.taken = true;
        }
        then();
    });
}

ProbeScope::ProbeScope()
{
    ++t_scope.depth;
}

ProbeScope::~ProbeScope()
{
    if (--t_scope.depth > 0) return;
    t_scope.taken = false;
    t_scope.devices = {};
}

bool openInOtherProcess(dev_t device)
{
    if (t_scope.depth == 0)
        return forEachOtherProcessDevice([device](dev_t d) { return d == device; });
    if (!t_scope.taken) {
        t_scope.devices = otherProcessDevices();
        t_scope.taken = true;
    }
    return std::binary_search(t_scope.devices.begin(), t_scope.devices.end(), device);
}

bool openInThisProcess(dev_t device, int exceptFd)
{
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0) return true; // cannot tell: assume another holder
    const std::string except = std::to_string(exceptFd);
    const bool found = forEachOpenDevice(
        procFd, "self", [&](const char *fd, dev_t d) { return d == device && except != fd; });
    ::close(procFd);
    return found;
}

QStringList lockDirectories()
{
    QStringList candidates;
    if (qEnvironmentVariableIsSet(kLockDirsVariable)) {
        candidates =
            qEnvironmentVariable(kLockDirsVariable).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    } else {
        candidates = {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};
    }
    QStringList dirs;
    for (const QString &candidate : candidates) {
        char resolved[PATH_MAX];
        if (!::realpath(QFile::encodeName(candidate).constData(), resolved)) continue;
        struct stat st {};
        if (::stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        const QString dir = QFile::decodeName(resolved);
        if (!dirs.contains(dir)) dirs.append(dir);
    }
    return dirs;
}

QString lockFileName(const QString &canonicalPath)
{
    // Links are followed once more, so that a caller's link name never becomes the lock's.
    char resolved[PATH_MAX];
    const QString path = ::realpath(QFile::encodeName(canonicalPath).constData(), resolved)
                             ? QFile::decodeName(resolved)
                             : canonicalPath;
    return QStringLiteral("LCK..") + path.section(QLatin1Char('/'), -1);
}

namespace {

// Reads a lock file without ever waiting on it or following a link: only a regular file is a
// lock (a FIFO, device, directory or link planted in a shared lock folder is none, and opening
// one neither blocks nor reaches what a link names). `regular` tells which it was.
pid_t readLockFile(const QString &lockPath, bool *regular)
{
    *regular = false;
    const int fd = ::open(QFile::encodeName(lockPath).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return 0;
    }
    *regular = true;
    char text[64];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    if (n <= 0) return 0;
    const auto ascii = [](char c) {
        return (c >= '0' && c <= '9') || c == ' ' || c == '\t' || c == '\r' || c == '\n';
    };
    if (n == ssize_t(sizeof(int)) && !std::all_of(text, text + n, ascii)) {
        int binary = 0; // the old form: the PID as a native int
        std::memcpy(&binary, text, sizeof binary);
        return binary > 0 ? pid_t(binary) : 0;
    }
    // The leading PID after any blanks; writers may put a program name, a user name, a CR or
    // more lines after it.
    ssize_t i = 0;
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    long long pid = 0;
    const ssize_t first = i;
    for (; i < n && text[i] >= '0' && text[i] <= '9' && pid <= INT_MAX; ++i)
        pid = pid * 10 + (text[i] - '0');
    if (i == first || pid <= 0 || pid > INT_MAX) return 0;
    return pid_t(pid);
}

} // namespace

pid_t lockFileOwner(const QString &lockPath)
{
    bool regular = false;
    return readLockFile(lockPath, &regular);
}

bool lockedByOtherProcess(const QString &canonicalPath)
{
    const QString name = lockFileName(canonicalPath);
    for (const QString &dir : lockDirectories())
        if (liveForeignLock(dir + QLatin1Char('/') + name)) return true;
    return false;
}

bool takeLockFiles(const QString &canonicalPath, QStringList *written)
{
    written->clear();
    const QString name = lockFileName(canonicalPath);
    const QByteArray content = lockFileContent();
    for (const QString &dir : lockDirectories()) {
        const QString path = dir + QLatin1Char('/') + name;
        const QByteArray encoded = QFile::encodeName(path);
        int result = createLockFile(encoded, content);
        if (result == EEXIST) {
            bool regular = false;
            const pid_t owner = readLockFile(path, &regular);
            if (owner != ::getpid() && processAlive(owner)) {
                releaseLockFiles(*written);
                written->clear();
                return false;
            }
            // Stale (its process is gone), naming no process, or left by us: take it over.
            // Anything but a regular file is no lock and is left alone: no lock here.
            if (!regular) continue;
            ::unlink(encoded.constData());
            result = createLockFile(encoded, content);
        }
        if (result == 0) written->append(path);
        // Anything else (no permission, read-only, full): this directory gets no lock.
    }
    return true;
}

void releaseLockFiles(const QStringList &written)
{
    for (const QString &path : written)
        if (lockFileOwner(path) == ::getpid()) ::unlink(QFile::encodeName(path).constData());
}

} // namespace serial
