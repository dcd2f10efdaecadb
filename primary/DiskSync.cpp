#include "primary/DiskSync.h"

#include <QFile>
#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace primary {

// The sync thread and what it shares with the owner's thread. The owner hands files over in
// `queue` (each at most once); the thread takes them one by one, so that a file handed over
// while its sync runs is synced again afterwards (it may hold records the running sync missed).
struct DiskSync::Worker {
    // Files that kept failing, beyond which the oldest runs are forgotten (and said again).
    static constexpr qsizetype MaxFailingTracked = 256;

    SyncFunction sync;
    std::function<void(const QString &file, const QString &reason)> report; // any thread

    std::mutex mutex;
    std::condition_variable wake; // work was handed over, or the end came
    std::condition_variable idle; // the queue ran empty and no sync runs
    QList<QString> queue;
    QSet<QString> queued;
    bool busy = false;
    bool stopping = false;
    std::thread thread;

    QSet<QString> failing; // the sync thread's own: files whose run of failures was reported

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return !queue.isEmpty() || stopping; });
            if (queue.isEmpty()) return; // stopping, and everything handed over is synced
            const QString file = queue.takeFirst();
            queued.remove(file);
            busy = true;
            lock.unlock();
            const QString reason = sync(file);
            if (reason.isEmpty()) {
                failing.remove(file);
            } else if (!failing.contains(file)) {
                if (failing.size() >= MaxFailingTracked) failing.clear();
                failing.insert(file);
                report(file, reason);
            }
            lock.lock();
            busy = false;
            if (queue.isEmpty()) idle.notify_all();
        }
    }
};

DiskSync::DiskSync(SyncFunction sync, ArmFunction arm)
    : m_arm(std::move(arm)), m_context(std::make_unique<QObject>()),
      m_worker(std::make_unique<Worker>())
{
    m_worker->sync = sync ? std::move(sync) : SyncFunction(&DiskSync::syncFile);
    // The report crosses to the owner's thread as a queued call on m_context, which lives
    // there; it reads m_report only there.
    m_worker->report = [this, context = m_context.get()](const QString &file,
                                                         const QString &reason) {
        QMetaObject::invokeMethod(
            context,
            [this, file, reason] {
                if (m_report) m_report(file, reason);
            },
            Qt::QueuedConnection);
    };
    if (!m_arm) {
        m_timer = std::make_unique<QTimer>();
        m_timer->setSingleShot(true);
        QObject::connect(m_timer.get(), &QTimer::timeout, [this] { syncPending(); });
        m_arm = [timer = m_timer.get()](std::chrono::milliseconds delay, std::function<void()>) {
            timer->start(delay);
        };
    }
}

DiskSync::~DiskSync()
{
    if (m_timer) m_timer->stop();
    syncPending();
    if (m_worker->thread.joinable()) {
        {
            std::lock_guard lock(m_worker->mutex);
            m_worker->stopping = true;
        }
        m_worker->wake.notify_all();
        m_worker->thread.join();
    }
    // The thread has ended: reports it queued are dropped with their receiver.
    m_context.reset();
}

void DiskSync::written(const QString &file)
{
    if (m_armed && file == m_last) return; // the flood case: the same file, already pending
    m_pending.insert(file);
    m_last = file;
    if (m_armed) return;
    m_armed = true;
    m_arm(Interval, [this] { syncPending(); });
}

void DiskSync::syncPending()
{
    m_armed = false;
    m_last.clear();
    if (m_pending.isEmpty()) return;
    const QSet<QString> files = std::exchange(m_pending, {});
    {
        std::lock_guard lock(m_worker->mutex);
        for (const QString &file : files) {
            if (m_worker->queued.contains(file)) continue;
            m_worker->queued.insert(file);
            m_worker->queue.append(file);
        }
    }
    // Started at the first hand-off: a program that saves nothing runs no sync thread.
    if (!m_worker->thread.joinable())
        m_worker->thread = std::thread([w = m_worker.get()] { w->run(); });
    m_worker->wake.notify_one();
}

void DiskSync::waitIdle()
{
    std::unique_lock lock(m_worker->mutex);
    m_worker->idle.wait(lock, [w = m_worker.get()] { return w->queue.isEmpty() && !w->busy; });
}

namespace {

// The system's text for `error`; strerror_r, as syncs run beside other threads.
QString errnoText(int error)
{
    char buffer[256];
    return QString::fromLocal8Bit(::strerror_r(error, buffer, sizeof buffer));
}

} // namespace

QString DiskSync::syncFile(const QString &file)
{
    const QByteArray path = QFile::encodeName(file);
    int fd;
    do {
        fd = ::open(path.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errnoText(errno);
    QString reason;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        reason = errnoText(errno);
    else if (!S_ISREG(st.st_mode))
        reason = QStringLiteral("it is not a regular file");
    else if (::fdatasync(fd) != 0)
        reason = errnoText(errno);
    if (::close(fd) != 0 && errno != EINTR && reason.isEmpty()) reason = errnoText(errno);
    return reason;
}

} // namespace primary
