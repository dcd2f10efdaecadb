#pragma once
// Who else uses a serial device: descriptors other processes hold on it, and UUCP lock files
// ("LCK..<device basename>" holding the owner's PID, in /run/lock or /var/lock) as terminal
// programs write them. Both serial layers consult this before taking a port, and write a lock
// file of their own while they hold one.
//
// Processes are found through /proc/<pid>/fd: those of other users stay hidden unless we run as
// root. Our own process is left out; our own holdings show through the exclusive flag and the
// flock that every port we hold carries.
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace serial {

// While one lives on this thread, every look at which devices other processes hold shares a
// single pass over /proc, taken at the first look; a scan of many ports then costs one pass.
// Scopes nest; the outermost one owns the pass.
class ProbeScope {
public:
    ProbeScope();
    ~ProbeScope();
    ProbeScope(const ProbeScope &) = delete;
    ProbeScope &operator=(const ProbeScope &) = delete;
};

// Whether a process other than ours has a descriptor open on the character device `device`
// (st_rdev).
bool openInOtherProcess(dev_t device);
// Whether our own process has a descriptor other than `exceptFd` open on `device`.
bool openInThisProcess(dev_t device, int exceptFd);

// The directories UUCP lock files are looked for and written in: $NARWICKPANEL_LOCK_DIRS
// (colon-separated; set but empty means none) or /run/lock and /var/lock, each existing
// directory once (/var/lock is often a link to /run/lock).
QStringList lockDirectories();

// The lock file name for the device at `canonicalPath`: "LCK.." and its basename.
QString lockFileName(const QString &canonicalPath);

// The PID a lock file names (ten ASCII digits right-aligned and a newline, or an int in the
// old binary form), or 0 when the file is missing, empty or unreadable.
pid_t lockFileOwner(const QString &lockPath);

// Whether a lock file for the device names a live process other than ours. A lock whose
// process is gone (or that names no process) is stale and does not count.
bool lockedByOtherProcess(const QString &canonicalPath);

// Writes our lock file for the device in every lock directory where we may write one, taking
// over stale ones. Returns false (and removes what it wrote) when a live process other than
// ours holds a lock for the device. `written` receives the files written; none may be
// writable, which is no failure. Never creates a directory.
bool takeLockFiles(const QString &canonicalPath, QStringList *written);

// Removes the lock files `takeLockFiles` wrote, each only while it still names us.
void releaseLockFiles(const QStringList &written);

} // namespace serial
