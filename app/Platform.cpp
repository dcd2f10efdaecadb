#include "app/Platform.h"

#include <QDesktopServices>
#include <QDir>
#include <QLockFile>
#include <QStandardPaths>
#include <QUrl>

namespace platform {

QString documentsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

bool openInFileBrowser(const QString &folder)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

InstanceLock::InstanceLock()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath();
    m_path = dir + QStringLiteral("/narwickpanel.lock");
}

InstanceLock::~InstanceLock() = default;

bool InstanceLock::tryLock()
{
    if (m_lock && m_lock->isLocked()) return true;
    m_lock = std::make_unique<QLockFile>(m_path);
    // Never stale by age: only a lock whose process is gone is taken over.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0)) return true;
    if (m_lock->error() == QLockFile::LockFailedError && m_lock->removeStaleLockFile())
        return m_lock->tryLock(0);
    return false;
}

} // namespace platform
