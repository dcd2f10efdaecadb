#include "app/LogView.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
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

// Repaints the log at most every 250 ms while lines keep arriving. The text itself changes at
// once; only the picture waits. Painting the log is by far the dearest part of showing a line,
// and a reading arrives many times a second for days.
class LogPainter : public QObject {
public:
    explicit LogPainter(QPlainTextEdit *log) : QObject(log), m_log(log)
    {
        setObjectName(QStringLiteral("LogPainter"));
        m_timer.setSingleShot(true);
        m_timer.setInterval(250);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { release(); });
    }

    // Called before each append: the first append paints at once, later ones within the
    // interval are painted together when it ends.
    void beforeAppend()
    {
        if (!m_timer.isActive()) {
            m_timer.start();
            return;
        }
        if (!m_held) {
            m_held = true;
            m_log->viewport()->setUpdatesEnabled(false);
            m_log->verticalScrollBar()->setUpdatesEnabled(false);
        }
    }

private:
    void release()
    {
        if (!m_held) return;
        m_held = false;
        m_log->viewport()->setUpdatesEnabled(true);
        m_log->verticalScrollBar()->setUpdatesEnabled(true);
        m_timer.start(); // keep the pace while lines keep coming
    }

    QPlainTextEdit *m_log;
    QTimer m_timer;
    bool m_held = false;
};

LogPainter *painterOf(QPlainTextEdit *log)
{
    auto *painter =
        log->findChild<LogPainter *>(QStringLiteral("LogPainter"), Qt::FindDirectChildrenOnly);
    return painter ? painter : new LogPainter(log);
}

} // namespace

void appendToLog(QPlainTextEdit *log, const QString &text)
{
    if (text.isEmpty()) return;
    QString plain = text;
    plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    painterOf(log)->beforeAppend();
    QScrollBar *bar = log->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextDocument *doc = log->document();
    makeRoom(doc, plain.count(u'\n'));
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(plain);
    if (atEnd) bar->setValue(bar->maximum());
}
