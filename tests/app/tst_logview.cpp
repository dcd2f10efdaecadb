// The traffic log: the text it keeps under its line bound, where the view stays while lines
// arrive and go, how little an append repaints, selection and copy, and what a screen reader
// reads.
#include "app/LogView.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QPaintEvent>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalSpy>
#include <QTest>

namespace {

// Records the rectangles the log's viewport is asked to paint.
class PaintRecorder : public QObject {
public:
    explicit PaintRecorder(QWidget *w) { w->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint) region += static_cast<QPaintEvent *>(e)->region();
        return false;
    }
    QRegion region;
};

// What the log must hold: everything appended, CR LF as one break, the last `bound` lines.
QString expectedText(const QString &all, int bound)
{
    QStringList lines =
        QString(all).replace(QLatin1String("\r\n"), QLatin1String("\n")).split(u'\n');
    if (lines.size() > bound) lines = lines.mid(lines.size() - bound);
    return lines.join(u'\n');
}

// Appends in quick succession are shown together, at most once a frame: waits for that frame.
bool pictureCurrent(const LogView &log)
{
    return QTest::qWaitFor([&] { return log.isPictureCurrent(); });
}

void settle(QWidget *w)
{
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QCoreApplication::processEvents();
}

} // namespace

class TestLogView : public QObject {
    Q_OBJECT
private slots:
    void keepsTheLastLinesOfEverythingAppended();
    void followsTheEndOnlyWhenTheEndWasInView();
    void anAppendRepaintsOnlyTheNewLines();
    void selectionCopyAndScreenReaderText();
};

void TestLogView::keepsTheLastLinesOfEverythingAppended()
{
    LogView log;
    log.setMaximumBlockCount(50);
    QCOMPARE(log.toPlainText(), QString());
    QCOMPARE(log.blockCount(), 1);

    // Chunks of any shape, appended as text or as received lines: lines continued across
    // appends, CR LF inside, empty lines, a lone CR or LF, control characters. The log is always
    // the tail of everything appended.
    QRandomGenerator rng(20261207);
    const QStringList pieces{QStringLiteral("\r\n"), QStringLiteral("R:0,S100,TC4,1,21.5,C,0"),
                             QStringLiteral("\n"),   QStringLiteral("\r"),
                             QStringLiteral("x"),    QString(QChar(0)),
                             QStringLiteral("\t9")};
    QString all;
    for (int i = 0; i < 2000; ++i) {
        QString chunk;
        for (int n = rng.bounded(1, 6); n > 0; --n)
            chunk += pieces[rng.bounded(int(pieces.size()))];
        if (rng.bounded(2)) {
            log.appendText(chunk);
            all += chunk;
        } else {
            log.appendLine(chunk);
            all += chunk + QLatin1String("\r\n");
        }
        if (i % 97 == 0) {
            QCOMPARE(log.toPlainText(), expectedText(all, 50));
            QCOMPARE(log.characterCount(), int(log.toPlainText().size()));
        }
    }
    QCOMPARE(log.toPlainText(), expectedText(all, 50));
    QCOMPARE(log.blockCount(), 50);

    log.setPlainText(QStringLiteral("Scanning available COM hardware..."));
    QCOMPARE(log.toPlainText(), QStringLiteral("Scanning available COM hardware..."));
    log.appendText(QStringLiteral("\r\nCOM 3 already open"));
    QCOMPARE(log.toPlainText(),
             QStringLiteral("Scanning available COM hardware...\nCOM 3 already open"));
    // The program's own messages stand on lines of their own, whatever came before them.
    log.appendMessage(QStringLiteral("went away"));
    log.appendText(QStringLiteral("R:0,S1,T,0\r\n"));
    log.appendMessage(QStringLiteral("not saved"));
    log.appendMessage(QStringLiteral("not saved again"));
    QCOMPARE(log.toPlainText(),
             QStringLiteral("Scanning available COM hardware...\nCOM 3 already open\nwent away\n"
                            "R:0,S1,T,0\nnot saved\nnot saved again\n"));
    log.clear();
    log.appendMessage(QStringLiteral("first"));
    QCOMPARE(log.toPlainText(), QStringLiteral("first\n"));
    log.clear();
    QCOMPARE(log.toPlainText(), QString());
    QCOMPARE(log.characterCount(), 0);
    QCOMPARE(log.verticalScrollBar()->maximum(), 0);
}

void TestLogView::followsTheEndOnlyWhenTheEndWasInView()
{
    LogView log;
    log.setMaximumBlockCount(200);
    log.resize(400, 200);
    log.show();
    settle(&log);
    QScrollBar *bar = log.verticalScrollBar();
    for (int i = 0; i < 100; ++i)
        log.appendText(QStringLiteral("\r\nline %1").arg(i));
    QTRY_VERIFY(bar->maximum() > 0); // the picture and bars follow within a frame
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(log.isEndInView());

    // The operator scrolls up to read: new lines do not move the view, even while the oldest
    // lines are dropped beneath the bound; the same line stays on top.
    bar->setValue(bar->maximum() - 40);
    const int topLine = bar->value(); // index of the top line among those held
    const QString topText = log.toPlainText().split(u'\n').at(topLine);
    for (int i = 100; i < 230; ++i)
        log.appendText(QStringLiteral("\r\nline %1").arg(i));
    QVERIFY(pictureCurrent(log));
    QVERIFY(!log.isEndInView());
    QCOMPARE(log.toPlainText().split(u'\n').at(bar->value()), topText);

    // Once the line on top is dropped itself, the view stays at the oldest line held.
    for (int i = 230; i < 600; ++i)
        log.appendText(QStringLiteral("\r\nline %1").arg(i));
    QVERIFY(pictureCurrent(log));
    QCOMPARE(bar->value(), 0);

    // Back at the end, the view follows again, and a resize keeps the end in view.
    bar->setValue(bar->maximum());
    log.appendText(QStringLiteral("\r\nnewest"));
    QVERIFY(pictureCurrent(log));
    QVERIFY(log.isEndInView());
    log.resize(400, 120);
    QCoreApplication::processEvents();
    QVERIFY(log.isEndInView());
}

void TestLogView::anAppendRepaintsOnlyTheNewLines()
{
    LogView log;
    log.setMaximumBlockCount(10000);
    log.resize(500, 400);
    log.show();
    settle(&log);
    for (int i = 0; i < 12000; ++i) // full: every append now also drops the oldest line
        log.appendText(QStringLiteral("\r\nR:0,S10%1,TC4,1,21.5,C,0").arg(i % 3));
    QVERIFY(pictureCurrent(log));
    QCoreApplication::processEvents();

    const int lineHeight = QFontMetrics(log.font()).lineSpacing();
    PaintRecorder painted(log.viewport());
    for (int i = 0; i < 5; ++i) {
        log.appendText(QStringLiteral("\r\nR:0,S100,TC4,1,22.%1,C,0").arg(i));
        QVERIFY(pictureCurrent(log));
        QCoreApplication::processEvents();
    }
    QVERIFY(log.isEndInView());
    // Each append scrolls what is on screen and paints the uncovered line and the one that
    // grew: never the whole view.
    QVERIFY2(!painted.region.isEmpty(), "the new lines were not painted");
    const QRect bounds = painted.region.boundingRect();
    QVERIFY2(bounds.height() <= 3 * lineHeight,
             qPrintable(
                 QStringLiteral("painted %1 px high for 5 one-line appends").arg(bounds.height())));
    QVERIFY(bounds.bottom() >= log.viewport()->height() - 2 * lineHeight);
}

void TestLogView::selectionCopyAndScreenReaderText()
{
    LogView log;
    log.setMaximumBlockCount(3);
    log.resize(400, 200);
    log.show();
    settle(&log);
    log.setPlainText(QStringLiteral("first\r\nsecond line\r\nthird"));

    // A drag from the start of the first line to inside the second selects across the break;
    // Ctrl+C copies it.
    QWidget *vp = log.viewport();
    const int h = QFontMetrics(log.font()).lineSpacing();
    QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(1, h / 2));
    QTest::mouseMove(vp, QPoint(vp->width() - 2, h + h / 2));
    QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(vp->width() - 2, h + h / 2));
    QCOMPARE(log.selectedText(), QStringLiteral("first\nsecond line"));
    QTest::keyClick(&log, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("first\nsecond line"));

    // From a click, Shift with the arrow and End keys selects by keyboard.
    QTest::mouseClick(vp, Qt::LeftButton, {}, QPoint(1, h + h / 2));
    QTest::keyClick(&log, Qt::Key_Down, Qt::ShiftModifier);
    QTest::keyClick(&log, Qt::Key_End, Qt::ShiftModifier);
    QCOMPARE(log.selectedText(), QStringLiteral("second line\nthird"));
    QTest::keyClick(&log, Qt::Key_Left, Qt::ShiftModifier);
    QTest::keyClick(&log, Qt::Key_Up, Qt::ShiftModifier);
    QCOMPARE(log.selectedText(), QStringLiteral("seco"));

    // A double click takes one line; Ctrl+A everything, ahead of the window's own shortcut.
    QTest::mouseDClick(vp, Qt::LeftButton, {}, QPoint(10, 2 * h + h / 2));
    QCOMPARE(log.selectedText(), QStringLiteral("third"));
    QShortcut windowShortcut(QKeySequence::SelectAll, &log);
    QSignalSpy shortcutTaken(&windowShortcut, &QShortcut::activated);
    QTest::keyClick(&log, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(log.selectedText(), log.toPlainText());
    QCOMPARE(shortcutTaken.size(), 0);

    // A screen reader reads the same text, by offsets that stay right as lines are dropped.
    QAccessibleInterface *acc = QAccessible::queryAccessibleInterface(&log);
    QVERIFY(acc);
    QCOMPARE(acc->role(), QAccessible::EditableText);
    QVERIFY(acc->state().readOnly);
    QAccessibleTextInterface *text = acc->textInterface();
    QVERIFY(text);
    log.appendText(QStringLiteral("\r\nfourth"));
    QCOMPARE(log.toPlainText(), QStringLiteral("second line\nthird\nfourth"));
    QCOMPARE(text->characterCount(), int(log.toPlainText().size()));
    QCOMPARE(text->text(0, text->characterCount()), log.toPlainText());
    QCOMPARE(text->text(7, 17), QStringLiteral("line\nthird"));
    text->setSelection(0, 17, 12); // made backwards: the cursor is at its start
    QCOMPARE(log.selectedText(), QStringLiteral("third"));
    int start = -1, end = -1;
    text->selection(0, &start, &end);
    QCOMPARE(QPair(start, end), QPair(12, 17));
    QCOMPARE(text->cursorPosition(), 12);
    // The character at a character's place is that character, on any line.
    for (int offset : {0, 8, 14, 19})
        QCOMPARE(text->offsetAtPoint(text->characterRect(offset).center()), offset);
    // A selection keeps its text while lines above it go; once its first line goes, it
    // begins at the oldest line held.
    text->setSelection(0, 12, 24);
    QCOMPARE(log.selectedText(), QStringLiteral("third\nfourth"));
    log.appendText(QStringLiteral("\r\nfifth"));
    QCOMPARE(log.selectedText(), QStringLiteral("third\nfourth"));
    log.appendText(QStringLiteral("\r\nsixth"));
    QCOMPARE(log.toPlainText(), QStringLiteral("fourth\nfifth\nsixth"));
    QCOMPARE(log.selectedText(), QStringLiteral("fourth"));
}

QTEST_MAIN(TestLogView)
#include "tst_logview.moc"
