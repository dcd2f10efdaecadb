#include "app/LogView.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

namespace {

// Drops the oldest lines so that `newLines` more fit under the bound. Doing it here, through a
// selection set by position, spares the document its own trimming, which lays out every line
// it drops before removing it.
void makeRoom(QTextDocument *doc, qsizetype newLines)
{
    const int bound = doc->maximumBlockCount();
    if (bound <= 0) return;
    const qsizetype excess =
        std::min<qsizetype>(doc->blockCount() + newLines - bound, doc->blockCount() - 1);
    if (excess <= 0) return;
    QTextCursor cursor(doc);
    cursor.setPosition(doc->findBlockByNumber(int(excess)).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

} // namespace

void appendToLog(QPlainTextEdit *log, const QString &text)
{
    if (text.isEmpty()) return;
    QString plain = text;
    plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    QScrollBar *bar = log->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextDocument *doc = log->document();
    makeRoom(doc, plain.count(u'\n'));
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(plain);
    if (atEnd) bar->setValue(bar->maximum());
}
