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

#include <cstddef>
#include <functional>
#include <sys/types.h>

class QObject;

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

// How many descriptors the other processes hold, as the kernel tells without a look at each
// one (the size of /proc/<pid>/fd); 0 where it does not tell (before Linux 6.2).
std::size_t otherProcessDescriptors();

// From this many descriptors of other processes on, a look at them takes long enough to freeze
// the window (a few microseconds each): it is better taken on a worker thread.
constexpr std::size_t CostlyLook = 20000;

// Takes a look at the devices other processes hold on a worker thread, then runs `then` on
// `context`'s thread inside a ProbeScope that shares that look: probes and opens in `then`
// cost no pass over /proc of their own. Looks are taken one at a time, in the order asked, so
// the calls keep that order. Nothing runs when `context` is gone by then.
void afterLookAtOtherProcesses(QObject *context, std::function<void()> then);

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

// The PID a lock file names (its leading decimal number after any blanks, whatever follows it,
// or an int in the old binary form), or 0 when the file is missing, empty, names no process or
// is not a regular file. Never blocks and never follows a link.
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
