#pragma once
// What a test reads back from the file system.
#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace testsupport {

// The whole content of a file, or "<missing>" when it cannot be read.
inline QByteArray contents(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return "<missing>";
    return file.readAll();
}

// The CR LF lines of a readings file, without their ends; none when it cannot be read.
inline QStringList records(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromLatin1(file.readAll()).split(QStringLiteral("\r\n"));
    if (lines.last().isEmpty()) lines.removeLast();
    return lines;
}

// Every entry under `root`, relative to it and sorted, for checking that nothing appeared
// anywhere: a folder ends in "/", a link in "@", anything but a plain file in "?".
inline QStringList tree(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString kind = info.isSymLink() ? QStringLiteral("@")
                             : info.isDir()   ? QStringLiteral("/")
                             : info.isFile()  ? QString()
                                              : QStringLiteral("?");
        entries << QDir(root).relativeFilePath(info.filePath()) + kind;
    }
    entries.sort();
    return entries;
}

} // namespace testsupport
