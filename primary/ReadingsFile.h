#pragma once
// Readings files: one text file per sensor identifier, directly in the data folder, one record
// line per saved reading, appended in Windows-1252, opened and closed for every record.
#include <QString>
#include <QStringView>

namespace primary {

// Empty when `id` may name a file; otherwise why not (for the log). Refused: "/" or "\",
// control characters, : * ? " < > |, and the device names CON, PRN, AUX, NUL, COM1-9,
// LPT1-9 (with or without an extension, any case). The empty identifier is allowed (".txt").
QString identifierProblem(QStringView id);

struct SaveResult {
    bool ok = false;
    QString reason; // empty when ok
};

// Appends `record` + CR LF to <npPath>/<id>.txt, creating the file but never a folder and
// never following a link. A record is written whole or not at all.
SaveResult appendRecord(const QString &npPath, const QString &id, QStringView record);

// Says a save failure once, and again when the reason changes or after saving worked again.
class SaveReporter {
public:
    // Returns the text to log for this outcome, or empty when nothing is to be said.
    QString report(const SaveResult &result);

private:
    QString m_lastReason;
};

} // namespace primary
