#pragma once
// Helpers of the fault suite: the event loop's pulse, CPU time, a snapshot of a folder tree,
// and a device writer that pushes bytes as fast as the program takes them.
#include "tests/support/PtyPair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFileInfo>
#include <QMap>
#include <QTimer>

#include <cerrno>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>

namespace faults {

// The event loop still turns: a zero timer posted now fires.
inline bool eventLoopTurns()
{
    bool fired = false;
    QTimer::singleShot(0, [&fired] { fired = true; });
    QDeadlineTimer deadline(10000);
    while (!fired && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return fired;
}

// Every path under `root` with its kind: 'd' folder, 'f' file, 'l' link, '?' other.
inline QMap<QString, QChar> snapshot(const QString &root)
{
    QMap<QString, QChar> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        tree.insert(path, info.isSymLink() ? u'l'
                          : info.isDir()   ? u'd'
                          : info.isFile()  ? u'f'
                                           : u'?');
    }
    return tree;
}

// Paths in `after` that are not in `before` and are not regular files directly in `folder`.
inline QStringList strayPaths(const QMap<QString, QChar> &before, const QMap<QString, QChar> &after,
                              const QString &folder)
{
    QStringList stray;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (before.contains(it.key()) && before.value(it.key()) == it.value()) continue;
        const QFileInfo info(it.key());
        if (it.value() == u'f' && info.absolutePath() == folder) continue;
        stray << it.key() + QStringLiteral(" (") + it.value() + u')';
    }
    return stray;
}

// Writes all of `bytes` to the device as fast as the slave side drains, running the event loop
// whenever the pty is full. `watch` runs after every turn of the loop (to sample the program's
// buffers). False when no byte got through for 30 s.
inline bool feed(testsupport::PtyPair &device, const QByteArray &bytes,
                 const std::function<void()> &watch = {})
{
    qsizetype done = 0;
    QDeadlineTimer stuck(30000);
    while (done < bytes.size()) {
        const qsizetype chunk = qMin<qsizetype>(bytes.size() - done, 64 * 1024);
        const ssize_t n = ::write(device.masterFd(), bytes.constData() + done, size_t(chunk));
        if (n > 0) {
            done += n;
            stuck.setRemainingTime(30000);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        } else if (stuck.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (n <= 0) ::usleep(100); // full: the program gets its turn, without a busy spin
        if (watch) watch();
    }
    return true;
}

} // namespace faults
