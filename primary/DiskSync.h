#pragma once
// Readings reach the disk: each readings file written to is flushed to storage (fdatasync) at
// most once a second, so a power cut loses at most the last second of records. A record is
// whole or absent in the file already (appendRecord), so no sync can leave a torn one.
//
// The policy: the first write after a quiet spell arms a one-second timer; when it runs out,
// every file written since is handed to the sync thread, once each, and the timer rests until
// the next write. A record therefore waits about a second for its sync, a file is handed over
// at most once a second however fast it is written, and a file nobody writes costs nothing.
//
// The syncs themselves run on a thread of their own: a slow disk (a second or more for one
// fdatasync) never holds up the thread that writes the records and owns the window. A file
// handed over again while its last hand-off still waits is synced once for both. A sync opens
// the file by its path, so it never touches a descriptor of the writer's. The first failure of
// a run of failures of one file is reported on the owner's thread; a success ends the run.
#include <QString>

#include <QSet>
#include <chrono>
#include <functional>
#include <memory>

class QObject;
class QTimer;

namespace primary {

class DiskSync {
public:
    // Flushes one file's data to storage: empty when it did, otherwise why not (for the log).
    // Called on the sync thread.
    using SyncFunction = std::function<QString(const QString &file)>;
    // Starts a one-shot timer that calls `timeout` on the owner's thread after `delay`.
    using ArmFunction =
        std::function<void(std::chrono::milliseconds delay, std::function<void()> timeout)>;
    // The first failure of a run of failures of `file`, on the owner's thread.
    using FailureFunction = std::function<void(const QString &file, const QString &reason)>;

    static constexpr std::chrono::milliseconds Interval{1000};

    // `sync` defaults to syncFile; `arm` to a QTimer of the object's own (needs an event loop
    // in the owner's thread, as failure reports do).
    explicit DiskSync(SyncFunction sync = {}, ArmFunction arm = {});
    // Hands over what is still pending and waits until every file handed over is synced: the
    // records of the last second reach the disk when the program ends.
    ~DiskSync();
    DiskSync(const DiskSync &) = delete;
    DiskSync &operator=(const DiskSync &) = delete;

    void setFailureReport(FailureFunction report) { m_report = std::move(report); }

    // A record was appended to `file`.
    void written(const QString &file);
    // Hands every file written since the last hand-off to the sync thread now, once each (the
    // timer's work; also for when saving stops). Returns at once.
    void syncPending();
    // Waits until the sync thread has synced every file handed to it.
    void waitIdle();

    qsizetype pendingCount() const { return m_pending.size(); }
    bool armed() const { return m_armed; }

    // The default sync: open (write-only, not following a link, not blocking on a FIFO),
    // fdatasync, close. Only a regular file is synced.
    static QString syncFile(const QString &file);

private:
    struct Worker;

    ArmFunction m_arm;
    FailureFunction m_report;
    std::unique_ptr<QTimer> m_timer;
    // Receives the sync thread's failure reports on the owner's thread; destroyed after the
    // thread has ended, so no report outlives the object.
    std::unique_ptr<QObject> m_context;
    std::unique_ptr<Worker> m_worker;
    QSet<QString> m_pending;
    QString m_last; // the file last added, to skip the set lookup while one file is written
    bool m_armed = false;
};

} // namespace primary
