#include "serial/ComNames.h"

#include <QDir>
#include <QFile>

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace serial {

namespace {

const char *const kComDirVariable = "NARWICKPANEL_COM_DIR";

// The fixed table: COM1-10 ttyS0-9, COM11-20 ttyUSB0-9, COM21-30 ttyACM0-9.
QString tablePath(int com)
{
    if (com >= 1 && com <= 10) return QStringLiteral("/dev/ttyS%1").arg(com - 1);
    if (com >= 11 && com <= 20) return QStringLiteral("/dev/ttyUSB%1").arg(com - 11);
    if (com >= 21 && com <= 30) return QStringLiteral("/dev/ttyACM%1").arg(com - 21);
    return {};
}

// The override entry for COM `com` when one exists (a dangling link counts as existing).
QString overrideEntry(int com)
{
    const QString dir = comDirectory();
    if (dir.isEmpty()) return {};
    const QString entry = dir + QStringLiteral("/com") + QString::number(com);
    struct stat st {};
    if (::lstat(QFile::encodeName(entry).constData(), &st) != 0) return {};
    return entry;
}

// The path to open for COM `com` before links are followed: the override entry or the table.
QString entryPath(int com)
{
    if (com < 1) return {};
    const QString entry = overrideEntry(com);
    if (!entry.isEmpty()) return entry;
    if (comDirectoryIsWholeNamespace()) return {};
    return tablePath(com);
}

} // namespace

bool comDirectoryIsWholeNamespace()
{
    return !qEnvironmentVariableIsEmpty(kComDirVariable);
}

QString comDirectory()
{
    if (comDirectoryIsWholeNamespace()) return qEnvironmentVariable(kComDirVariable);
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // Relative values are invalid and ignored, as the base directory rules ask.
    if (config.isEmpty() || !QDir::isAbsolutePath(config)) {
        const QString home = QDir::homePath();
        if (home.isEmpty()) return {};
        config = home + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/NarwickPanel/com");
}

QString comNominalPath(int com)
{
    const QString entry = entryPath(com);
    if (entry.isEmpty()) return {};
    const QByteArray encoded = QFile::encodeName(entry);
    struct stat st {};
    if (::lstat(encoded.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) return entry;
    // Show the link's own target, made absolute against the link's directory.
    char target[PATH_MAX];
    const ssize_t n = ::readlink(encoded.constData(), target, sizeof target - 1);
    if (n <= 0) return entry;
    const QString text = QFile::decodeName(QByteArray(target, int(n)));
    if (QDir::isAbsolutePath(text)) return QDir::cleanPath(text);
    return QDir::cleanPath(entry.section(QLatin1Char('/'), 0, -2) + QLatin1Char('/') + text);
}

QString comDevicePath(int com)
{
    const QString entry = entryPath(com);
    if (entry.isEmpty()) return {};
    char resolved[PATH_MAX];
    if (!::realpath(QFile::encodeName(entry).constData(), resolved)) return {};
    return QFile::decodeName(resolved);
}

} // namespace serial
