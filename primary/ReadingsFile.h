#pragma once
// Readings files: one text file per sensor identifier, directly in the data folder, one record
// line per saved reading, appended in Windows-1252, opened and closed for every record.
#include "primary/Reading.h"

#include <QHash>
#include <QString>
#include <QStringView>
#include <optional>

namespace primary {

// Text the program itself makes for a record under the user's locale (a time stamp, a number),
// in a form Windows-1252 holds: no-break and narrow no-break spaces become a space, decimal
// digits of any script become ASCII digits. nullopt when the text still holds a character
// Windows-1252 cannot hold; the caller then writes a locale-free form instead (the stamp the
// en_US form, the pressure its "." form), never "?". Not for text received from a device: that
// is Windows-1252 already and is written byte for byte.
std::optional<QString> recordSafe(QStringView text);

// Empty when `id` may name a file; otherwise why not (for the log). Refused: "/" or "\",
// control characters, : * ? " < > |, and the device names CON, PRN, AUX, NUL, COM1-9,
// LPT1-9 (with or without an extension, any case). The empty identifier is allowed (".txt").
QString identifierProblem(QStringView id);

// The record line of a recordable reading, without its terminator: the stamp, the sensor
// identifier, the sensor type, the type number, each complete channel pair as received, the
// pressure as a record carries it (empty for none), "psi"; comma-separated.
QString recordLine(const QString &stamp, const Reading &reading, const QString &pressure);

struct SaveResult {
    bool ok = false;
    QString reason; // empty when ok
    QString file;   // the readings file meant (also when the identifier was refused)
    // The failure concerns the whole data folder (missing, not writable, full), not one file.
    bool folderWide = false;
};

// Appends `record` + CR LF to <npPath>/<id>.txt, creating the file but never a folder and
// never following a link. A record is written whole or not at all.
SaveResult appendRecord(const QString &npPath, const QString &id, QStringView record);

// Says a save failure once, and again when the reason changes or after saving worked again.
// A failure of the whole folder is one state; each file keeps its own (so two sensors that
// alternate, one of them failing, do not repeat the message at the line rate).
class SaveReporter {
public:
    // Returns the text to log for this outcome, or empty when nothing is to be said.
    QString report(const SaveResult &result);

    static constexpr qsizetype MaxFilesTracked = 256;

private:
    QString m_lastReason;                  // the folder-wide failure last said
    QHash<QString, QString> m_fileReasons; // per file, the failure last said
};

} // namespace primary
