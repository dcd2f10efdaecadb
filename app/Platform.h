#pragma once
// The platform pieces of the application shell, behind small functions so that another
// platform's versions can stand beside these: the documents folder, the file browser and the
// single-instance lock.
#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <memory>
#include <optional>

namespace platform {

// The documents folder that stands in for the shared documents folder: XDG_DOCUMENTS_DIR in
// the environment (a service's unit sets it), else the desktop's documents folder
// (XDG_DOCUMENTS_DIR in user-dirs.dirs, else ~/Documents). A relative XDG_DOCUMENTS_DIR is
// ignored, as if unset. Always absolute; empty when there is no home.
QString documentsFolder();

// Opens `folder` in the desktop's file browser without waiting. False when it could not be
// started; callers stay silent about it.
bool openInFileBrowser(const QString &folder);

// One running copy per user: a lock file in the user's runtime directory ($XDG_RUNTIME_DIR
// when it is an absolute path to a folder of the user's that others cannot write to), else
// narwickpanel-<user>.lock in the temporary folder itself (/tmp). No folder is ever created.
// The lock is an flock on a regular file of this user: a lock left by a copy that is gone
// holds nothing and is taken over. Anything else at the path (a link, a folder, a FIFO,
// another user's file) is no running copy, is never opened through or waited on, and is left
// as it is.
class InstanceLock {
public:
    InstanceLock();
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;
    // True when this copy now holds the lock. False when another running copy holds it, or
    // when the path is taken by something else: then problem() says so.
    bool tryLock();
    QString path() const { return m_path; }
    // After a failed tryLock: empty when a running copy holds the lock, else why the lock
    // could not be taken ("is taken by something else", or the system's reason).
    QString problem() const { return m_problem; }

private:
    QString m_path;
    QString m_problem;
    int m_fd = -1;
};

// Qt's application start-up looks up the runtime folder itself and, when XDG_RUNTIME_DIR names
// none it accepts (unset, missing, not mode 0700), creates one: the folder named, or
// /tmp/runtime-<user>. Held around the construction of the QApplication, this object lets that
// look-up come out empty without creating anything (its warnings are not shown) and puts
// XDG_RUNTIME_DIR and TMPDIR back as they were when it goes. It does nothing when the runtime
// folder is one Qt accepts as it is.
class StartupWithoutFolders {
public:
    StartupWithoutFolders();
    ~StartupWithoutFolders();
    StartupWithoutFolders(const StartupWithoutFolders &) = delete;
    StartupWithoutFolders &operator=(const StartupWithoutFolders &) = delete;
    bool active() const { return m_active; }

private:
    bool m_active = false;
    std::optional<QByteArray> m_runtime, m_tmpdir;
    QtMessageHandler m_previousHandler = nullptr;
};

// Without a session bus (started from cron, sudo or ssh: no DBUS_SESSION_BUS_ADDRESS and no
// bus socket in the runtime folder) the program runs without D-Bus: the bus address is set to
// one that can never exist, so that no D-Bus user in the process autolaunches a bus (which
// would create ~/.dbus and $XDG_RUNTIME_DIR/dbus-1 and leave daemons running). Call first.
void withoutSessionBusLaunch();

// When the session ends or someone asks the program to stop (SIGTERM, SIGINT, SIGHUP), the
// application quits as if its window were closed: the ports are let go (their lock files
// removed) and the records saved so far are flushed to the disk. Call once, after the
// application object exists.
void quitOnTerminationSignals();

} // namespace platform
