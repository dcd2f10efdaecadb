// The window's captions fit in front of their boxes with the typeface the program carries,
// even on a machine whose only fonts are others (here: fontconfig sees DejaVu alone).
#include "tests/support/AppWorld.h"

#include "app/Platform.h"
#include "data/Fonts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>

class TestCaptions : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void embeddedTypefaceIsUsed();
    void everyCaptionFitsBeforeItsBox();
};

// Before the window loads its faces, no Lato is to be had: only the embedded faces can give it.
void TestCaptions::initTestCase()
{
    QVERIFY(!QFontDatabase::families().contains(fonts::family()));
}

void TestCaptions::embeddedTypefaceIsUsed()
{
    AppWorld world;
    frmMain w;
    QCOMPARE(QFontInfo(w.font()).family(), fonts::family());
    QVERIFY(!QFontInfo(w.font()).bold());
    QLabel *bold = w.findChild<QLabel *>(QStringLiteral("lblOpenCom"));
    QVERIFY(bold);
    QCOMPARE(QFontInfo(bold->font()).family(), fonts::family());
    QVERIFY(QFontInfo(bold->font()).bold());
}

// Each caption with a box (its buddy) fits in the room between its left edge and the box. A
// caption that wraps may use as many lines as its height holds; the window's captions do not
// wrap, so they have one.
void TestCaptions::everyCaptionFitsBeforeItsBox()
{
    AppWorld world;
    frmMain w;
    int measured = 0;
    for (QLabel *label : w.findChildren<QLabel *>(Qt::FindDirectChildrenOnly)) {
        const QWidget *box = label->buddy();
        if (!box) continue;
        ++measured;
        const QString text = label->text();
        QCOMPARE(QFontInfo(label->font()).family(), fonts::family());
        const QFontMetrics fm(label->font());
        const QMargins m = label->contentsMargins();
        const int margin = label->margin();
        const int room = box->x() - label->x() - m.left() - 2 * margin;
        const int height = label->height() - m.top() - m.bottom() - 2 * margin;
        QVERIFY2(room > 0, qPrintable(text));
        const int lines = label->wordWrap() ? std::max(1, height / fm.lineSpacing()) : 1;
        int needed = fm.horizontalAdvance(text);
        if (lines > 1)
            needed =
                fm.boundingRect(QRect(0, 0, room, 10000), Qt::TextWordWrap, text).height() <= height
                    ? 0
                    : room + 1;
        QVERIFY2(
            needed <= room,
            qPrintable(
                QStringLiteral("\"%1\" needs %2 px, has %3 px").arg(text).arg(needed).arg(room)));
        QVERIFY2(fm.height() <= height, qPrintable(text));
    }
    QCOMPARE(measured, 16); // port, sensor ID and type, ten channels, secondary port, two values
}

int main(int argc, char **argv)
{
    // fontconfig is shown DejaVu alone, with its cache in a folder of the test's own.
    QTemporaryDir fontDir;
    if (!fontDir.isValid()) return 1;
    QFile conf(fontDir.filePath(QStringLiteral("fonts.conf")));
    if (!conf.open(QIODevice::WriteOnly)) return 1;
    conf.write("<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
               "<fontconfig>\n  <dir>/usr/share/fonts/truetype/dejavu</dir>\n  <cachedir>" +
               QFile::encodeName(fontDir.path()) + "/cache</cachedir>\n</fontconfig>\n");
    conf.close();
    qputenv("FONTCONFIG_FILE", QFile::encodeName(conf.fileName()));

    auto noFolders = std::make_unique<platform::StartupWithoutFolders>();
    QApplication app(argc, argv);
    noFolders.reset();
    TestCaptions test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_frmmain_captions.moc"
