#pragma once
// Readings reach the disk: each readings file written to is flushed to storage (fdatasync) at
// most once a second, so a power cut loses at most the last second of records. A record is
// whole or absent in the file already (appendRecord), so no sync can leave a torn one.
//
// The policy: the first write after a quiet spell arms a one-second timer; when it runs out,
// every file written since is synced once and the timer rests until the next write. A record
// therefore waits at most about a second for its sync, a file is synced at most once a second
// however fast it is written, and a file nobody writes costs nothing.
#include <QString>

#include <QSet>
#include <chrono>
#include <functional>
#include <memory>

class QTimer;

namespace primary {

class DiskSync {
public:
    // Flushes one file's data to storage; false when it could not (the file is gone, ...).
    using SyncFunction = std::function<bool(const QString &file)>;
    // Starts the one-shot timer that calls syncPending() after `delay`. The default is a
    // single-shot QTimer (needs an event loop in this thread).
    using ArmFunction = std::function<void(std::chrono::milliseconds delay)>;

    static constexpr std::chrono::milliseconds Interval{1000};

    // `sync` defaults to syncFile; `arm` to a QTimer of the object's own. A test that passes
    // its own `arm` calls syncPending() itself when its timer runs out.
    explicit DiskSync(SyncFunction sync = {}, ArmFunction arm = {});
    // Syncs what is still pending.
    ~DiskSync();
    DiskSync(const DiskSync &) = delete;
    DiskSync &operator=(const DiskSync &) = delete;

    // A record was appended to `file`.
    void written(const QString &file);
    // Syncs every file written since the last sync now, once each (the timer's work; also for
    // when saving stops or the program ends). Returns how many syncs failed.
    int syncPending();

    qsizetype pendingCount() const { return m_pending.size(); }
    bool armed() const { return m_armed; }

    // The default sync: open (write-only, not following a link, not blocking on a FIFO),
    // fdatasync, close. Only a regular file is synced.
    static bool syncFile(const QString &file);

private:
    SyncFunction m_sync;
    ArmFunction m_arm;
    std::unique_ptr<QTimer> m_timer;
    QSet<QString> m_pending;
    QString m_last; // the file last added, to skip the set lookup while one file is written
    bool m_armed = false;
};

} // namespace primary
