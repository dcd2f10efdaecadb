#pragma once
// Pseudo-terminal pairs published as COM numbers, for tests of everything that opens a port.
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>

namespace testsupport {

// One pseudo-terminal: the test holds the master side and plays the device; the program opens
// the slave path.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    int masterFd() const { return m_master; }
    QString slavePath() const { return m_slavePath; }

    // Writes all of `bytes` to the master (as the device sending). False on failure. While the
    // slave's buffer is full it runs the event loop, so a reader on this thread can drain it,
    // and then `afterTurn` (to sample the program's state); it gives up after 30 s without room.
    bool write(const QByteArray &bytes, const std::function<void()> &afterTurn = {});
    // Everything the program sent to the device since the last call (non-blocking).
    QByteArray readSent();
    // The device goes away: closes the master; the slave sees a hang-up.
    // Unmap its COM number too while it is away: the kernel may give the freed pts number to
    // another test's pty, which a watchdog reopening the old path would then take.
    void hangUp();

private:
    int m_master = -1;
    QString m_slavePath;
};

// Another process, alive while the object lives. Given a path, it holds that device open
// read/write without any lock or exclusive flag, as a terminal program that takes no lock
// would. Given a uid other than 0, it runs as that user (the test must run as root).
class OtherProcess {
public:
    explicit OtherProcess(const QString &path = QString(), unsigned uid = 0);
    ~OtherProcess();
    OtherProcess(const OtherProcess &) = delete;
    OtherProcess &operator=(const OtherProcess &) = delete;
    // False when the process could not be started or could not open the path.
    bool isValid() const { return m_pid > 0; }
    int pid() const { return m_pid; }

private:
    int m_pid = -1;
};

// Sets an environment variable (unsets it for none) while the object lives; the previous value,
// or its absence, comes back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::optional<QByteArray> &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *m_name;
    std::optional<QByteArray> m_previous;
};

// A temporary UUCP lock directory, set as $NARWICKPANEL_LOCK_DIRS while the object lives (the
// previous value is restored afterwards), so that no test touches the machine's /run/lock.
class LockDir {
public:
    LockDir();
    LockDir(const LockDir &) = delete;
    LockDir &operator=(const LockDir &) = delete;
    QString path() const { return m_dir.path(); }
    // The lock file for the device at `devicePath` (canonical) in this directory.
    QString lockFile(const QString &devicePath) const;

private:
    QTemporaryDir m_dir;
    ScopedEnv m_env;
};

// A temporary COM override directory, set as $NARWICKPANEL_COM_DIR while the object lives
// (the previous value is restored afterwards), with a temporary lock directory beside it.
class ComDir {
public:
    ComDir();
    QString path() const { return m_dir.path(); }
    // Publishes `target` as COM `com` (symlink <dir>/com<com>), replacing an old link.
    void map(int com, const QString &target);
    void unmap(int com);
    const LockDir &locks() const { return m_locks; }

private:
    LockDir m_locks;
    QTemporaryDir m_dir;
    ScopedEnv m_env;
};

} // namespace testsupport
