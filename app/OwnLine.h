#pragma once
// The log's one rule for a message of the program's own (a hang-up, a save failure, a pick from
// the command line): it stands on a line of its own, whatever came before it.
#include <QString>

namespace logtext {

// The text that appends `message` to a log whose last line is empty (`atLineStart`) or not: a
// line break first unless the log ends at the start of a line, and one after the message, so
// that what follows starts afresh too. CR LF breaks lines.
inline QString ownLine(bool atLineStart, const QString &message)
{
    return (atLineStart ? QString() : QStringLiteral("\r\n")) + message + QStringLiteral("\r\n");
}

} // namespace logtext
