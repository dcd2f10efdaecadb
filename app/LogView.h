#pragma once
// Appending to the traffic and message log. The log keeps its most recent lines (its block
// bound), and a view that was showing the end keeps showing it after the append.
#include <QString>

class QPlainTextEdit;

// Appends `text` at the very end of the log. CR LF in the text is one line break.
void appendToLog(QPlainTextEdit *log, const QString &text);
