#include "primary/DiskSync.h"

#include <QFile>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace primary {

DiskSync::DiskSync(SyncFunction sync, ArmFunction arm)
    : m_sync(sync ? std::move(sync) : SyncFunction(&DiskSync::syncFile)), m_arm(std::move(arm))
{
    if (!m_arm) {
        m_timer = std::make_unique<QTimer>();
        m_timer->setSingleShot(true);
        QObject::connect(m_timer.get(), &QTimer::timeout, [this] { syncPending(); });
        m_arm = [timer = m_timer.get()](std::chrono::milliseconds delay) { timer->start(delay); };
    }
}

DiskSync::~DiskSync()
{
    if (m_timer) m_timer->stop();
    syncPending();
}

void DiskSync::written(const QString &file)
{
    if (m_armed && file == m_last) return; // the flood case: the same file, already pending
    m_pending.insert(file);
    m_last = file;
    if (m_armed) return;
    m_armed = true;
    m_arm(Interval);
}

int DiskSync::syncPending()
{
    m_armed = false;
    m_last.clear();
    const QSet<QString> files = std::exchange(m_pending, {});
    int failed = 0;
    for (const QString &file : files)
        if (!m_sync(file)) ++failed;
    return failed;
}

bool DiskSync::syncFile(const QString &file)
{
    const QByteArray path = QFile::encodeName(file);
    int fd;
    do {
        fd = ::open(path.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fdatasync(fd) == 0;
    if (::close(fd) != 0 && errno != EINTR) ok = false;
    return ok;
}

} // namespace primary
