// The custom-drawn display boxes and the status bar: what an operator can do with their text
// (select, copy, the context menu, the keyboard), what a screen reader gets from them, and how
// little a new text repaints.
#include "app/DisplayBox.h"
#include "app/StatusBar.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPaintEvent>
#include <QSignalSpy>
#include <QTest>

namespace {

// Counts paint events of a widget and the area they cover.
class PaintRecorder : public QObject {
public:
    explicit PaintRecorder(QWidget *w) { w->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint) {
            region += static_cast<QPaintEvent *>(e)->region();
            ++count;
        }
        return false;
    }
    QRegion region;
    int count = 0;
};

QPoint at(DisplayBox &box, int position)
{
    const QRect r = box.characterRect(position);
    return QPoint(r.left(), r.center().y());
}

QString strip(QString text)
{
    return text.remove(u'&');
}

} // namespace

class TestDisplayBox : public QObject {
    Q_OBJECT
private slots:
    void reportsWhatAReadOnlyLineEditAndASelectableLabelReport();
    void selectsWithMouseAndKeyboardAndCopies();
    void contextMenuCopiesAndSelectsAll();
    void screenReaderReadsTheTextAndHearsItChange();
    void aNewTextRepaintsTheBoxAlone();
    void statusBarIsAStatusBarWithSelectablePanels();
};

void TestDisplayBox::reportsWhatAReadOnlyLineEditAndASelectableLabelReport()
{
    QWidget window;
    QLineEdit edit(&window);
    edit.setReadOnly(true);
    DisplayBox box(&window);
    QLabel label(&window);
    label.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    DisplayBox panel(&window, DisplayBox::Look::Panel);

    const auto stateBits = [](QAccessibleInterface *a) {
        const QAccessible::State s = a->state();
        return QList<bool>{bool(s.readOnly), bool(s.editable), bool(s.selectableText),
                           bool(s.focusable), bool(s.multiLine)};
    };
    QAccessibleInterface *lineEdit = QAccessible::queryAccessibleInterface(&edit);
    QAccessibleInterface *boxIface = QAccessible::queryAccessibleInterface(&box);
    QCOMPARE(boxIface->role(), lineEdit->role());
    QCOMPARE(stateBits(boxIface), stateBits(lineEdit));
    QVERIFY(boxIface->textInterface());
    QCOMPARE(box.focusPolicy(), edit.focusPolicy());
    QCOMPARE(box.font(), edit.font());

    QAccessibleInterface *labelIface = QAccessible::queryAccessibleInterface(&label);
    QAccessibleInterface *panelIface = QAccessible::queryAccessibleInterface(&panel);
    QCOMPARE(panelIface->role(), labelIface->role());
    QCOMPARE(panel.focusPolicy(), label.focusPolicy());
    // A panel, like a label, speaks its text as its name.
    panel.setText(QStringLiteral("42"));
    QCOMPARE(panelIface->text(QAccessible::Name), QStringLiteral("42"));
    panel.setAccessibleName(QStringLiteral("Count"));
    QCOMPARE(panelIface->text(QAccessible::Name), QStringLiteral("Count"));
}

void TestDisplayBox::selectsWithMouseAndKeyboardAndCopies()
{
    QWidget window;
    DisplayBox box(&window);
    box.setGeometry(10, 10, 300, 26);
    QLineEdit next(&window); // somewhere for the focus to go
    next.setGeometry(10, 40, 100, 26);
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QClipboard *clipboard = QGuiApplication::clipboard();

    box.setText(QStringLiteral("21.7 C probe two"));
    QCOMPARE(box.cursorPosition(), 16);
    QVERIFY(!box.hasSelectedText());

    // Click and drag, then Ctrl+C.
    QTest::mousePress(&box, Qt::LeftButton, {}, at(box, 0));
    QTest::mouseMove(&box, at(box, 6));
    QTest::mouseRelease(&box, Qt::LeftButton, {}, at(box, 6));
    QCOMPARE(box.selectedText(), QStringLiteral("21.7 C"));
    QVERIFY(box.hasFocus());
    QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), QStringLiteral("21.7 C"));

    // A double click takes a word, a third click everything.
    QTest::mouseDClick(&box, Qt::LeftButton, {}, at(box, 9) + QPoint(2, 0));
    QCOMPARE(box.selectedText(), QStringLiteral("probe"));
    QTest::mouseClick(&box, Qt::LeftButton, {}, at(box, 9) + QPoint(2, 0));
    QCOMPARE(box.selectedText(), box.text());
    QTest::mouseClick(&box, Qt::LeftButton, {}, at(box, 2));
    QVERIFY(!box.hasSelectedText());

    // The keyboard: Home, Shift with the arrows, words, End; Ctrl+A.
    QTest::keyClick(&box, Qt::Key_Home);
    QTest::keyClick(&box, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(&box, Qt::Key_Right, Qt::ShiftModifier);
    QCOMPARE(box.selectedText(), QStringLiteral("21"));
    QTest::keyClick(&box, Qt::Key_End, Qt::ShiftModifier);
    QCOMPARE(box.selectedText(), box.text());
    QTest::keyClick(&box, Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(box.selectedText(), QStringLiteral("21.7 C probe "));
    QTest::keyClick(&box, Qt::Key_End);
    QTest::keyClick(&box, Qt::Key_Home, Qt::ShiftModifier);
    QCOMPARE(box.selectedText(), box.text());
    QTest::keyClick(&box, Qt::Key_Right);
    QVERIFY(!box.hasSelectedText());
    QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(box.selectedText(), box.text());
    QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), box.text());

    // A new reading starts without a selection; what is copied is the text itself.
    box.setText(QStringLiteral("P:14.7,psi\r\n"));
    QVERIFY(!box.hasSelectedText());
    QCOMPARE(box.cursorPosition(), 12);
    box.selectAll();
    box.copy();
    QCOMPARE(clipboard->text(), QStringLiteral("P:14.7,psi\r\n"));

    // Tab leaves the box (the key is not eaten) and deselects it; Tab back in selects it all.
    QTest::keyClick(&box, Qt::Key_Tab);
    QVERIFY(next.hasFocus());
    QVERIFY(!box.hasSelectedText());
    QTest::keyClick(&next, Qt::Key_Backtab, Qt::ShiftModifier);
    QVERIFY(box.hasFocus());
    QCOMPARE(box.selectedText(), box.text());
}

void TestDisplayBox::contextMenuCopiesAndSelectsAll()
{
    DisplayBox box;
    box.resize(200, 26);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    box.setText(QStringLiteral("S104"));

    const auto openMenu = [&box]() -> QMenu * {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                box.mapToGlobal(QPoint(5, 5)));
        QCoreApplication::sendEvent(&box, &event);
        return qobject_cast<QMenu *>(QApplication::activePopupWidget());
    };
    QMenu *menu = openMenu();
    QVERIFY(menu);
    QList<QAction *> actions;
    for (QAction *a : menu->actions())
        if (!a->isSeparator()) actions.append(a);
    QCOMPARE(actions.size(), 2);
    QCOMPARE(strip(actions[0]->text()), QStringLiteral("Copy"));
    QCOMPARE(strip(actions[1]->text()), QStringLiteral("Select All"));
    QVERIFY(!actions[0]->isEnabled()); // nothing selected yet
    QVERIFY(actions[1]->isEnabled());
    actions[1]->trigger();
    menu->close();
    QCOMPARE(box.selectedText(), QStringLiteral("S104"));

    // The menu opened from the mouse keeps the selection; Copy copies it.
    QGuiApplication::clipboard()->clear();
    menu = openMenu();
    QVERIFY(menu);
    QAction *copy = menu->findChild<QAction *>(QStringLiteral("edit-copy"));
    QVERIFY(copy && copy->isEnabled());
    QVERIFY(!menu->findChild<QAction *>(QStringLiteral("select-all"))->isEnabled());
    copy->trigger();
    menu->close();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("S104"));
}

void TestDisplayBox::screenReaderReadsTheTextAndHearsItChange()
{
    DisplayBox box;
    box.resize(200, 26);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QAccessibleInterface *acc = QAccessible::queryAccessibleInterface(&box);
    QAccessibleTextInterface *text = acc->textInterface();
    QVERIFY(text);

    box.setText(QStringLiteral("TC4  (2)"));
    QCOMPARE(text->characterCount(), 8);
    QCOMPARE(text->text(0, 8), QStringLiteral("TC4  (2)"));
    QCOMPARE(acc->text(QAccessible::Value), QStringLiteral("TC4  (2)"));
    int wordStart = -1, wordEnd = -1;
    QCOMPARE(text->textAtOffset(0, QAccessible::WordBoundary, &wordStart, &wordEnd),
             QStringLiteral("TC4"));

    // The selection both ways.
    text->setSelection(0, 0, 3);
    QCOMPARE(box.selectedText(), QStringLiteral("TC4"));
    box.setSelection(5, 3);
    int start = -1, end = -1;
    text->selection(0, &start, &end);
    QCOMPARE(QPair(start, end), QPair(5, 8));
    QCOMPARE(text->selectionCount(), 1);
    text->removeSelection(0);
    QCOMPARE(text->selectionCount(), 0);
    // Positions and rectangles agree.
    const QRect third = text->characterRect(2);
    QVERIFY(third.width() > 0);
    QCOMPARE(text->offsetAtPoint(third.center()), 2);

    // An unchanged text is not set again. (That a change is heard needs an accessibility bridge,
    // which the offscreen platform has not: the a11y end-to-end run listens for it.)
    QSignalSpy changed(&box, &DisplayBox::textChanged);
    box.setText(QStringLiteral("J  (0)"));
    box.setText(QStringLiteral("J  (0)"));
    QCOMPARE(changed.size(), 1);

    // A NUL in a reading would end the text on D-Bus: a screen reader gets U+2400 in its
    // place and everything after it. The box itself keeps the text as received.
    const QString withNul = QStringLiteral("S1") + QChar(u'\0') + QStringLiteral("9 end");
    box.setText(withNul);
    QCOMPARE(box.text(), withNul);
    const QString spoken = QStringLiteral("S1\u24009 end");
    QCOMPARE(text->characterCount(), int(withNul.size()));
    QCOMPARE(text->text(0, text->characterCount()), spoken);
    QCOMPARE(acc->text(QAccessible::Value), spoken);
}

void TestDisplayBox::aNewTextRepaintsTheBoxAlone()
{
    QWidget window;
    window.resize(400, 100);
    QPalette pal = window.palette();
    pal.setColor(QPalette::Window, QColor(0xE0, 0xE0, 0xE0));
    DisplayBox box(&window);
    box.setGeometry(20, 20, 177, 26);
    DisplayBox other(&window);
    other.setGeometry(20, 60, 177, 26);
    window.setPalette(pal);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    PaintRecorder windowPaints(&window), boxPaints(&box), otherPaints(&other);

    box.setText(QStringLiteral("1234"));
    QTRY_VERIFY(boxPaints.count > 0);
    other.setText(QStringLiteral("5")); // a second change, painted after the first
    QTRY_VERIFY(otherPaints.count > 0);
    QCOMPARE(windowPaints.count, 0);
    QVERIFY(QRegion(box.rect().adjusted(1, 1, -1, -1)).contains(boxPaints.region.boundingRect()));

    // The corners are the colour around the box; the text shows on the white base.
    const QImage image = box.grab().toImage();
    QCOMPARE(image.pixelColor(0, 0), QColor(0xE0, 0xE0, 0xE0));
    QCOMPARE(box.palette().color(QPalette::Window), QColor(0xE0, 0xE0, 0xE0));
    bool inked = false;
    for (int x = 0; x < image.width() / 2 && !inked; ++x)
        inked = image.pixelColor(x, image.height() / 2) == box.palette().color(QPalette::Text) ||
                qGray(image.pixel(x, image.height() / 2)) < 100;
    QVERIFY(inked);
}

void TestDisplayBox::statusBarIsAStatusBarWithSelectablePanels()
{
    StatusBar bar;
    bar.resize(941, 18);
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    QCOMPARE(QAccessible::queryAccessibleInterface(&bar)->role(), QAccessible::StatusBar);

    bar.setPanelText(3, QStringLiteral("1234"));
    QCOMPARE(bar.panelText(3), QStringLiteral("1234"));
    DisplayBox *count = bar.panel(3);
    QAccessibleInterface *acc = QAccessible::queryAccessibleInterface(count);
    QCOMPARE(acc->text(QAccessible::Description), QStringLiteral("sbStatusBar panel 3"));
    QCOMPARE(acc->textInterface()->text(0, 4), QStringLiteral("1234"));
    QVERIFY(!bar.panelText(4).isEmpty());
    QVERIFY(!bar.panelText(5).isEmpty());

    // A click gives the panel the focus; its text is then selected and copied as a label's.
    QTest::mouseClick(count, Qt::LeftButton, {}, QPoint(4, 9));
    QVERIFY(count->hasFocus());
    QTest::keyClick(count, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(count, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("1234"));
}

QTEST_MAIN(TestDisplayBox)
#include "tst_displaybox.moc"
