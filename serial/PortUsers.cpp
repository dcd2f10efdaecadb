#include "serial/PortUsers.h"

#include <QFile>

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

pid_t lockFileOwner(const QString &lockPath)
{
    const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return 0;
    const auto ascii = [](char c) { return (c >= '0' && c <= '9') || c == ' ' || c == '\n'; };
    if (n == ssize_t(sizeof(int)) && !std::all_of(text, text + n, ascii)) {
        int binary = 0; // the old form: the PID as a native int
        std::memcpy(&binary, text, sizeof binary);
        return binary > 0 ? pid_t(binary) : 0;
    }
    text[n] = '\0';
    char *end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || pid <= 0 || pid > INT_MAX) return 0;
    while (*end == ' ' || *end == '\n')
        ++end;
    return *end == '\0' ? pid_t(pid) : 0;
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
            if (liveForeignLock(path)) {
                releaseLockFiles(*written);
                written->clear();
                return false;
            }
            // Stale (its process is gone), unreadable, or left by us: take it over.
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
