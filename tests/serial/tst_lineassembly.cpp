#include "serial/Cp1252.h"
#include "serial/LineAssembler.h"

#include <QRandomGenerator>
#include <QTest>

using serial::LineAssembler;

namespace {

QString u16(QStringView text)
{
    return text.toString();
}

QStringList drain(LineAssembler &assembler)
{
    QStringList lines;
    QString line;
    while (assembler.takeLine(&line))
        lines << line;
    return lines;
}

QStringList feed(LineAssembler &assembler, const QStringList &pieces)
{
    QStringList lines;
    for (const QString &piece : pieces) {
        assembler.append(piece);
        lines += drain(assembler);
    }
    return lines;
}

} // namespace

class TestLineAssembly : public QObject {
    Q_OBJECT

private slots:
    void cutsLines_data();
    void cutsLines();
    void boundDropsOldestAndReportsOnce();
    void boundKeepsCompleteLines();
    void longRunInRandomPieces();
    void cp1252RoundTripsEveryByte();
    void cp1252Encoding();
};

void TestLineAssembly::cutsLines_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("pending");

    QTest::newRow("pieces across appends") << QStringList{"R:0,S1", "00,TC4,2", ",21.5\r\n"}
                                           << QStringList{"R:0,S100,TC4,2,21.5\r\n"} << QString();
    QTest::newRow("CR ends one piece, LF starts the next")
        << QStringList{"a\r", "\nb"} << QStringList{"a\r\n"} << QString("b");
    QTest::newRow("CR alone as a piece")
        << QStringList{"a", "\r", "\n"} << QStringList{"a\r\n"} << QString();
    QTest::newRow("three lines in one append")
        << QStringList{"one\r\ntwo\r\nthree\r\nfour"}
        << QStringList{"one\r\n", "two\r\n", "three\r\n"} << QString("four");
    QTest::newRow("empty line") << QStringList{"\r\n\r\nx\r\n"}
                                << QStringList{"\r\n", "\r\n", "x\r\n"} << QString();
    QTest::newRow("lone CR and lone LF are text")
        << QStringList{"a\rb\nc\n\rd\r\n"} << QStringList{"a\rb\nc\n\rd\r\n"} << QString();
    QTest::newRow("CR CR LF") << QStringList{"a\r", "\r\n"} << QStringList{"a\r\r\n"} << QString();
    QTest::newRow("no terminator yet")
        << QStringList{"abc", "def\r"} << QStringList{} << QString("abcdef\r");
}

void TestLineAssembly::cutsLines()
{
    QFETCH(QStringList, pieces);
    QFETCH(QStringList, lines);
    QFETCH(QString, pending);

    LineAssembler assembler;
    QCOMPARE(feed(assembler, pieces), lines);
    QCOMPARE(assembler.pending(), pending);
    QCOMPARE(assembler.pendingSize(), pending.size());

    // Taking lines only after everything arrived gives the same lines.
    LineAssembler late;
    for (const QString &piece : pieces)
        late.append(piece);
    QCOMPARE(drain(late), lines);
    QCOMPARE(late.pending(), pending);
}

void TestLineAssembly::boundDropsOldestAndReportsOnce()
{
    LineAssembler assembler(10);
    QVERIFY(!assembler.append(u"0123456789")); // exactly the bound: nothing dropped
    QVERIFY(assembler.append(u"abc"));         // first drop is reported
    QCOMPARE(assembler.pending(), QString("3456789abc"));
    QVERIFY(!assembler.append(u"defg")); // further drops of the same line are not
    QCOMPARE(assembler.pending(), QString("789abcdefg"));
    QCOMPARE(assembler.droppedTotal(), 7);

    // The kept end (with a CR waiting for its LF) still forms the line.
    QVERIFY(!assembler.append(u"\r"));
    QVERIFY(!assembler.append(u"\n"));
    QCOMPARE(drain(assembler), QStringList{"89abcdefg\r\n"});

    // After a complete line, a new overflow is reported again.
    QVERIFY(assembler.append(u"ABCDEFGHIJKL"));
    QCOMPARE(assembler.pending(), QString("CDEFGHIJKL"));
    QVERIFY(!assembler.append(u"M"));
    QVERIFY(!assembler.append(u"\r\nxyz"));
    QCOMPARE(drain(assembler), QStringList{"DEFGHIJKLM\r\n"});
    QVERIFY(assembler.append(QString(20, u'z')));
    QCOMPARE(assembler.pendingSize(), 10);
}

void TestLineAssembly::boundKeepsCompleteLines()
{
    // A piece larger than the bound that holds complete lines loses none of them: only the
    // unfinished tail is cut.
    LineAssembler assembler(8);
    const QString longLine = QString(50, u'x') + "\r\n";
    QVERIFY(assembler.append(longLine + "short\r\n" + QString(20, u'y')));
    QCOMPARE(drain(assembler), (QStringList{longLine, "short\r\n"}));
    QCOMPARE(assembler.pending(), QString(8, u'y'));

    // Complete lines waiting in front while the tail overflows.
    LineAssembler waiting(4);
    waiting.append(u"a\r\nbc");
    QVERIFY(waiting.append(u"defgh"));
    QCOMPARE(waiting.pending(), QString("a\r\nefgh"));
    QCOMPARE(drain(waiting), QStringList{"a\r\n"});
    QCOMPARE(waiting.pending(), QString("efgh"));
}

void TestLineAssembly::longRunInRandomPieces()
{
    // Many lines in random pieces, with the default bound: all come out, whole and in order,
    // while the buffer's front is consumed and compacted along the way.
    QRandomGenerator random(1234);
    QString all;
    QStringList expected;
    for (int i = 0; i < 50000; ++i) {
        QString line = QStringLiteral("R:%1,S%2,TC4,2,21.5,C,\r21.7,C\n,0\r\n").arg(i).arg(i % 7);
        if (i % 1000 == 0) line.prepend(QString(3000, u'w')); // now and then a long line
        expected << line;
        all += line;
    }
    LineAssembler assembler;
    QStringList lines;
    qsizetype at = 0;
    while (at < all.size()) {
        const qsizetype n = std::min<qsizetype>(all.size() - at, 1 + random.bounded(700));
        QVERIFY(!assembler.append(QStringView(all).sliced(at, n)));
        at += n;
        if (random.bounded(4) != 0) lines += drain(assembler); // sometimes let lines wait
    }
    lines += drain(assembler);
    QCOMPARE(lines.size(), expected.size());
    QCOMPARE(lines, expected);
    QCOMPARE(assembler.pendingSize(), 0);
    QCOMPARE(assembler.droppedTotal(), 0);
}

void TestLineAssembly::cp1252RoundTripsEveryByte()
{
    QByteArray bytes;
    for (int b = 0; b < 256; ++b)
        bytes.append(char(b));
    const QString text = serial::decodeCp1252(bytes);
    QCOMPARE(text.size(), 256);
    bool ok = false;
    QCOMPARE(serial::encodeCp1252(text, &ok), bytes);
    QVERIFY(ok);

    // A few fixed points of the table, the undefined bytes as their own control characters.
    QCOMPARE(serial::cp1252ToChar(0x80), QChar(0x20AC));
    QCOMPARE(serial::cp1252ToChar(0x9F), QChar(0x0178));
    QCOMPARE(serial::cp1252ToChar(0x92), QChar(0x2019));
    for (unsigned char b : {0x81, 0x8D, 0x8F, 0x90, 0x9D})
        QCOMPARE(serial::cp1252ToChar(b), QChar(b));
    QCOMPARE(serial::cp1252ToChar(0xE9), QChar(0xE9));

    QString appended = "x";
    serial::appendCp1252(appended, QByteArrayView("\x80y", 2));
    QCOMPARE(appended, u16(u"x\u20ACy"));
}

void TestLineAssembly::cp1252Encoding()
{
    bool ok = true;
    // U+0080 has no byte (0x80 is the euro sign); a character beyond the basic plane is one '?'.
    QCOMPARE(serial::encodeCp1252(u"a\u0080b\U0001F600c\u4E2D", &ok), QByteArray("a?b?c?"));
    QVERIFY(!ok);
    QCOMPARE(serial::encodeCp1252(u"\u20AC\u00FF", &ok), QByteArray("\x80\xFF"));
    QVERIFY(ok);
    QCOMPARE(serial::encodeCp1252(u"", &ok), QByteArray());
    QVERIFY(ok);
}

QTEST_GUILESS_MAIN(TestLineAssembly)
#include "tst_lineassembly.moc"
