#include "primary/ReadingsFile.h"

#include "serial/Cp1252.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace primary {

namespace {

// The identifier as it can be shown in a log line: control characters written as \xNN.
QString printable(QStringView id)
{
    QString out;
    for (const QChar c : id) {
        if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper();
        else
            out += c;
    }
    return out;
}

// Windows reserves these names, with any extension; the superscript digits count as digits.
bool isDeviceName(QStringView id)
{
    QStringView base = id;
    const qsizetype dot = base.indexOf(u'.');
    if (dot >= 0) base = base.first(dot);
    while (!base.isEmpty() && base.back() == u' ')
        base.chop(1);
    for (const char *name : {"CON", "PRN", "AUX", "NUL"})
        if (base.compare(QLatin1StringView(name), Qt::CaseInsensitive) == 0) return true;
    if (base.size() != 4) return false;
    const QStringView stem = base.first(3);
    if (stem.compare(u"COM", Qt::CaseInsensitive) != 0 &&
        stem.compare(u"LPT", Qt::CaseInsensitive) != 0)
        return false;
    const char16_t digit = base[3].unicode();
    return (digit >= u'1' && digit <= u'9') || digit == 0x00B9 || digit == 0x00B2 ||
           digit == 0x00B3;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString folderOf(const QString &file)
{
    return file.left(file.lastIndexOf(u'/'));
}

// A failure of one file names the file; a failure of the whole folder names the folder only,
// so that readings of several sensors failing for one cause give one and the same text.
SaveResult failure(const QString &file, const QString &cause, bool folderWide)
{
    SaveResult result;
    result.file = file;
    result.folderWide = folderWide;
    result.reason = folderWide
                        ? QStringLiteral("Readings not saved in %1: %2.").arg(folderOf(file), cause)
                        : QStringLiteral("Reading not saved to %1: %2.").arg(file, cause);
    return result;
}

bool exists(const QByteArray &path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0;
}

// Why opening the readings file failed with `error`.
SaveResult openFailure(const QString &npPath, const QString &file, int error)
{
    const QByteArray folder = QFile::encodeName(npPath);
    struct stat st {};
    const bool folderThere = ::stat(folder.constData(), &st) == 0;
    if (!folderThere && (error == ENOENT || error == ENOTDIR))
        return failure(file, QStringLiteral("the data folder %1 does not exist").arg(npPath), true);
    if (folderThere && !S_ISDIR(st.st_mode))
        return failure(file, QStringLiteral("the data folder %1 is not a folder").arg(npPath),
                       true);
    switch (error) {
    case ELOOP:
        return failure(file, QStringLiteral("the file is a symbolic link, which is not followed"),
                       false);
    case ENXIO:
        return failure(file, QStringLiteral("it is not a regular file"), false);
    case EISDIR:
        return failure(file, QStringLiteral("a folder of that name is in the way"), false);
    case EACCES:
    case EPERM:
        if (exists(QFile::encodeName(file)))
            return failure(file, QStringLiteral("the file is not writable"), false);
        return failure(file, QStringLiteral("the data folder %1 is not writable").arg(npPath),
                       true);
    case EROFS:
        return failure(
            file, QStringLiteral("the data folder %1 is on a read-only file system").arg(npPath),
            true);
    case ENOSPC:
    case EDQUOT:
        return failure(file, QStringLiteral("the disk is full"), true);
    default:
        return failure(file, errnoText(error), false);
    }
}

SaveResult writeFailure(const QString &file, int error)
{
    if (error == ENOSPC || error == EDQUOT)
        return failure(file, QStringLiteral("the disk is full"), true);
    return failure(file, QStringLiteral("writing failed: %1").arg(errnoText(error)), true);
}

} // namespace

std::optional<QString> recordSafe(QStringView text)
{
    const bool plain = std::all_of(text.begin(), text.end(), [](QChar c) { return c < u'\x80'; });
    if (plain) return text.toString();

    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0, n = text.size(); i < n; ++i) {
        char32_t c = text[i].unicode();
        const bool pair = QChar::isHighSurrogate(c) && i + 1 < n && text[i + 1].isLowSurrogate();
        if (pair) c = QChar::surrogateToUcs4(text[i].unicode(), text[i + 1].unicode());
        if (c == 0x00A0 || c == 0x202F) {
            out += u' ';
        } else if (QChar::category(c) == QChar::Number_DecimalDigit) {
            out += QChar(u'0' + QChar::digitValue(c));
        } else {
            out += text[i];
            if (pair) out += text[i + 1];
        }
        if (pair) ++i;
    }
    bool holds = false;
    serial::encodeCp1252(out, &holds);
    if (!holds) return std::nullopt;
    return out;
}

QString identifierProblem(QStringView id)
{
    const auto refuse = [&](const QString &why) {
        return QStringLiteral("Reading not saved: the sensor identifier \"%1\" cannot name a "
                              "file (%2).")
            .arg(printable(id), why);
    };
    for (const QChar c : id) {
        if (c.category() == QChar::Other_Control)
            return refuse(QStringLiteral("control character"));
        if (QStringView(u"/\\:*?\"<>|").contains(c))
            return refuse(QStringLiteral("it holds \"%1\"").arg(c));
    }
    if (isDeviceName(id)) return refuse(QStringLiteral("a device name"));
    return {};
}

QString recordLine(const QString &stamp, const Reading &reading, const QString &pressure)
{
    const QString id = reading.sensorId.value_or(QString());
    const QString type = reading.sensorType.value_or(QString());
    const QString typeNumber = QString::number(reading.typeNumber);
    qsizetype size =
        stamp.size() + id.size() + type.size() + typeNumber.size() + pressure.size() + 8;
    for (const Channel &c : reading.channels)
        size += c.text.size() + c.unit.size() + 2;
    QString line;
    line.reserve(size);
    line += stamp;
    line += u',';
    line += id;
    line += u',';
    line += type;
    line += u',';
    line += typeNumber;
    line += u',';
    for (const Channel &c : reading.channels) {
        line += c.text;
        line += u',';
        line += c.unit;
        line += u',';
    }
    line += pressure;
    line += QLatin1String(",psi");
    return line;
}

SaveResult appendRecord(const QString &npPath, const QString &id, QStringView record)
{
    const QString file = npPath + u'/' + id + QStringLiteral(".txt");
    if (const QString problem = identifierProblem(id); !problem.isEmpty()) {
        SaveResult result;
        result.file = file;
        result.reason = problem;
        return result;
    }
    if (npPath.isEmpty()) {
        SaveResult result;
        result.file = file;
        result.folderWide = true;
        result.reason = QStringLiteral("Readings not saved: there is no data folder.");
        return result;
    }

    const QByteArray path = QFile::encodeName(file);
    // O_NONBLOCK keeps a FIFO in the file's place from blocking; it does nothing to a file.
    int fd;
    do {
        fd = ::open(path.constData(),
                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return openFailure(npPath, file, errno);

    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return failure(file, QStringLiteral("it is not a regular file"), false);
    }

    QByteArray bytes = serial::encodeCp1252(record);
    bytes.append("\r\n", 2);

    SaveResult result;
    result.file = file;
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            // Take back what part of the record got in, so no partial line remains.
            if (written > 0) {
                const off_t end = ::lseek(fd, 0, SEEK_CUR);
                if (end < 0 || ::ftruncate(fd, end - written) != 0) {
                    ::close(fd);
                    SaveResult broken = writeFailure(file, error);
                    broken.reason.chop(1);
                    broken.reason += QStringLiteral("; a partial record may remain.");
                    return broken;
                }
            }
            ::close(fd);
            return writeFailure(file, error);
        }
        written += n;
    }
    if (::close(fd) != 0 && errno != EINTR) return writeFailure(file, errno);
    result.ok = true;
    return result;
}

QString SaveReporter::report(const SaveResult &result)
{
    if (result.ok) {
        const bool folderWasFailing = !m_lastReason.isEmpty();
        const bool fileWasFailing = m_fileReasons.remove(result.file);
        m_lastReason.clear();
        if (folderWasFailing)
            return QStringLiteral("Saving readings in %1 works again.").arg(folderOf(result.file));
        if (fileWasFailing)
            return QStringLiteral("Saving readings to %1 works again.").arg(result.file);
        return {};
    }
    if (result.folderWide) {
        if (result.reason == m_lastReason) return {};
        m_lastReason = result.reason;
        return result.reason;
    }
    const auto it = m_fileReasons.constFind(result.file);
    if (it != m_fileReasons.cend()) {
        if (*it == result.reason) return {};
        m_fileReasons[result.file] = result.reason;
        return result.reason;
    }
    // The table of failing files is bounded: when it is full it starts afresh, so a file that
    // fails later is still named (at worst a file already named is named once more).
    if (m_fileReasons.size() >= MaxFilesTracked) m_fileReasons.clear();
    m_fileReasons.insert(result.file, result.reason);
    return result.reason;
}

} // namespace primary
