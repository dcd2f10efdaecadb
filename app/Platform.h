#pragma once
// The platform pieces of the application shell, behind small functions so that another
// platform's versions can stand beside these: the documents folder, the file browser and the
// single-instance lock.
#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <memory>
#include <optional>

class QLockFile;

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
// A lock left by a copy that crashed is recognised as stale and taken over.
class InstanceLock {
public:
    InstanceLock();
    ~InstanceLock();
    // True when this copy now holds the lock; false when another running copy holds it.
    bool tryLock();
    QString path() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
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

// When the session ends or someone asks the program to stop (SIGTERM, SIGINT, SIGHUP), the
// application quits as if its window were closed: the ports are let go (their lock files
// removed) and the records saved so far are flushed to the disk. Call once, after the
// application object exists.
void quitOnTerminationSignals();

} // namespace platform
