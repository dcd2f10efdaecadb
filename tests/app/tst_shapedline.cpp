// Lines put together from kept glyphs must be what shaping the whole line gives: the same
// glyphs at the same positions, the same width, the same pixels, in the window's typeface and
// in a system one, for reading lines, box texts and random printable text.
#include "app/ShapedLine.h"
#include "data/Fonts.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTest>
#include <QTextLayout>

#include <climits>

namespace {

QFont windowFont(bool bold)
{
    QFont f(fonts::family());
    f.setPointSizeF(9.75);
    f.setBold(bold);
    return f;
}

// Texts of the kinds the boxes and the log show, and random printable ASCII.
QStringList corpus()
{
    QStringList texts{QStringLiteral("R:0,S100,TC4,10,21.5,C,21.7,C,22.0,C,0"),
                      QStringLiteral("R:0,S103,VP3,10,2.512,V,2.498,V,0"),
                      QStringLiteral("P:14.71,psi"),
                      QStringLiteral("14.71"),
                      QStringLiteral("-0.05"),
                      QStringLiteral("32767"),
                      QStringLiteral("COM 7: 9600,n,8,1 - Open"),
                      QStringLiteral("Choose a COM port to begin"),
                      QStringLiteral("12/7/26"),
                      QStringLiteral("7:45 PM"),
                      QStringLiteral("office affine flow fjord Ty AV Wa To 7. 1,"),
                      QStringLiteral("  leading and trailing spaces  "),
                      QStringLiteral(" "),
                      QStringLiteral("x")};
    for (char16_t c = 0x20; c <= 0x7E; ++c)
        texts << QString(QChar(c)) + QChar(c) + QStringLiteral("x") + QChar(c);
    QRandomGenerator rng(20261207);
    for (int i = 0; i < 400; ++i) {
        QString t;
        for (int n = rng.bounded(1, 50); n > 0; --n)
            t += QChar(char16_t(rng.bounded(0x20, 0x7F)));
        texts << t;
    }
    return texts;
}

QImage render(const QFont &font, const QString &text, bool composed)
{
    QImage image(1200, 40, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setFont(font);
    p.setPen(Qt::black);
    p.translate(17, 3); // as a widget's painter is moved to the widget's place in the window
    const QPointF at(3, 5);
    if (composed) {
        ShapedLine(text, font).draw(&p, at);
    } else {
        QStaticText s(text);
        s.setTextFormat(Qt::PlainText);
        s.prepare(QTransform(), font);
        p.drawStaticText(at, s);
    }
    return image;
}

} // namespace

class TestShapedLine : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(!fonts::loadEmbedded().isEmpty()); }
    void sameGlyphsWidthAndPixelsAsShapingWhole_data();
    void sameGlyphsWidthAndPixelsAsShapingWhole();
};

void TestShapedLine::sameGlyphsWidthAndPixelsAsShapingWhole_data()
{
    QTest::addColumn<QFont>("font");
    QTest::newRow("window") << windowFont(false);
    QTest::newRow("window bold") << windowFont(true);
    QFont system(QStringLiteral("DejaVu Sans"));
    system.setPixelSize(15);
    QTest::newRow("system") << system;
}

void TestShapedLine::sameGlyphsWidthAndPixelsAsShapingWhole()
{
    QFETCH(QFont, font);
    int composed = 0;
    const QStringList texts = corpus();
    for (const QString &text : texts) {
        // Shaped whole, as QStaticText shapes it.
        QTextLayout layout(text, font);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLeadingIncluded(true);
        line.setLineWidth(INT_MAX / 256);
        layout.endLayout();
        QStaticText whole(text);
        whole.setTextFormat(Qt::PlainText);
        whole.prepare(QTransform(), font);

        QGlyphRun run;
        qreal width = -1;
        if (ShapedLine::compose(text, font, &run, &width)) {
            ++composed;
            const QList<QGlyphRun> runs = layout.glyphRuns();
            QCOMPARE(runs.size(), 1);
            QCOMPARE(run.glyphIndexes(), runs[0].glyphIndexes());
            QCOMPARE(run.positions(), runs[0].positions());
            QCOMPARE(run.rawFont(), runs[0].rawFont());
        }
        const ShapedLine shaped(text, font);
        QCOMPARE(shaped.width(), whole.size().width());
        if (width >= 0) QCOMPARE(width, whole.size().width());
        QVERIFY2(render(font, text, true) == render(font, text, false), qPrintable(text));
    }
    // Most of these texts are put together: the fast way is the usual one.
    QVERIFY2(composed > texts.size() * 3 / 4, qPrintable(QString::number(composed)));
    QVERIFY(ShapedLine(QStringLiteral("21.5"), font).isComposed());
    QVERIFY(!ShapedLine(QStringLiteral("21.5 \u00b0C"), font).isComposed());
}

QTEST_MAIN(TestShapedLine)
#include "tst_shapedline.moc"
