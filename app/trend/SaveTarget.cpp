#include "app/trend/SaveTarget.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace trend {

namespace {

bool fail(QString *error, const QString &text)
{
    if (error) *error = text;
    return false;
}

// What `device` holds after `write`: an error the device saw counts even when `write` did not
// notice it (a painter ends without saying whether its last bytes went out).
bool written(QFileDevice &device, const std::function<bool(QFileDevice &)> &write)
{
    return write(device) && device.error() == QFileDevice::NoError;
}

} // namespace

bool saveToPath(const QString &path, const std::function<bool(QFileDevice &)> &write,
                QString *error, const std::atomic<bool> *cancel)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return fail(error, qt_error_string(errno));
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        QFile file;
        // Unbuffered: a write that fails says so at once, not at a close nobody checks.
        if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                       QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            return fail(error, file.errorString());
        }
        if (!written(file, write)) return fail(error, file.errorString());
        return true;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(error, file.errorString());
    if (!written(file, write)) {
        const QString why = file.errorString();
        file.cancelWriting();
        return fail(error, cancel && cancel->load() ? QString() : why);
    }
    if (!file.commit()) return fail(error, file.errorString());
    return true;
}

} // namespace trend
