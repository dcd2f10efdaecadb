// Faults on the two serial lines, against the whole window in-process: garbage, endless lines,
// huge field counts, NUL bytes and lone CR / LF. After every case the event loop still turns,
// the buffers and the log are bounded, the lines that should have been kept were kept, and not
// one byte went to either device.
#include "tests/support/AppWorld.h"
#include "tests/support/Files.h"

#include "app/DisplayBox.h"
#include "app/LogView.h"
#include "app/StatusBar.h"
#include "primary/PrimaryLink.h"
#include "secondary/SecondaryLink.h"
#include "serial/MSComm.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>

using testsupport::PtyPair;

namespace {
constexpr qsizetype Bound = 64 * 1024;
constexpr int TenMegabytes = 10 * 1024 * 1024;

// Bytes of a literal, NUL bytes included.
template <qsizetype N> QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}
} // namespace

class TestLinkFaults : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void garbageAndEndlessLines_data();
    void garbageAndEndlessLines();
    void hugeFieldCountsNulAndLoneCrLf();
    void wholeScenarioSendsNothing();

private:
    std::unique_ptr<AppWorld> world;
    std::unique_ptr<PtyPair> instrument; // COM12
    std::unique_ptr<PtyPair> gauge;      // COM3, library port 2
    std::unique_ptr<frmMain> w;
    QStringList messages;
    QByteArray sent;             // whatever reached a device master, over the whole case
    qsizetype maxLineBuffer = 0; // the largest buffer sizes seen while feeding
    qsizetype maxPollBuffer = 0;
    int maxBlocks = 0;

    const Controls &c() const { return w->ctl; }
    QString log() const { return c().txtIncoming->toPlainText(); }
    void collectSent()
    {
        for (PtyPair *d : {instrument.get(), gauge.get()})
            if (d && d->isValid()) sent += d->readSent();
    }
    void sample()
    {
        maxLineBuffer = qMax(maxLineBuffer, w->primary->pendingLineSize());
        maxPollBuffer = qMax(maxPollBuffer, w->secondary->pendingLineSize());
        maxBlocks = qMax(maxBlocks, c().txtIncoming->blockCount());
    }
    bool feedTo(PtyPair &device, const QByteArray &bytes)
    {
        return device.write(bytes, [this] { sample(); });
    }
    QStringList savedLines(const QString &id) const
    {
        return testsupport::records(world->dataFolder() + u'/' + id + QStringLiteral(".txt"));
    }
};

void TestLinkFaults::init()
{
    world = std::make_unique<AppWorld>();
    instrument = std::make_unique<PtyPair>();
    gauge = std::make_unique<PtyPair>();
    world->comDir.map(12, instrument->slavePath());
    world->comDir.map(3, gauge->slavePath());
    w = std::make_unique<frmMain>();
    messages.clear();
    w->showMessage = [this](const QString &text) { messages << text; };
    QVERIFY(w->Form_Load());
    sent.clear();
    maxLineBuffer = maxPollBuffer = maxBlocks = 0;
}

void TestLinkFaults::cleanup()
{
    if (w) {
        QVERIFY(eventLoopTurns());
        sample();
        QVERIFY2(maxLineBuffer <= Bound, qPrintable(QString::number(maxLineBuffer)));
        QVERIFY2(maxPollBuffer <= Bound, qPrintable(QString::number(maxPollBuffer)));
        QVERIFY2(maxBlocks <= 10000, qPrintable(QString::number(maxBlocks)));
        QCOMPARE(messages, QStringList());
    }
    collectSent();
    QCOMPARE(sent, QByteArray()); // the program never sends a byte to a device
    w.reset();
    instrument.reset();
    gauge.reset();
    world.reset();
}

void TestLinkFaults::garbageAndEndlessLines_data()
{
    QTest::addColumn<bool>("primaryLink");
    QTest::addColumn<bool>("garbage"); // else one line of 10 MB without a terminator
    QTest::newRow("primary: 10 MB of all byte values") << true << true;
    QTest::newRow("primary: a 10 MB line") << true << false;
    QTest::newRow("secondary: 10 MB of all byte values") << false << true;
    QTest::newRow("secondary: a 10 MB line") << false << false;
}

void TestLinkFaults::garbageAndEndlessLines()
{
    QFETCH(bool, primaryLink);
    QFETCH(bool, garbage);
    world->makeDataFolder();
    const QStringList before = testsupport::tree(world->home.path());

    QByteArray bytes;
    if (garbage) {
        bytes.resize(TenMegabytes);
        QRandomGenerator rng(7);
        rng.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        for (int b = 0; b < 256; ++b)
            bytes[b * 4099] = char(b); // every byte value, for certain
    } else {
        bytes = (primaryLink ? "R:0,LONG,T,1," : "P:") + QByteArray(TenMegabytes, 'A');
    }
    bytes += "\r\n";

    // The lines after the fault must all be kept.
    QByteArray after;
    QStringList expected;
    for (int i = 0; i < 200; ++i) {
        const QByteArray line = primaryLink ? "R:0,KEEP,T,1," + QByteArray::number(i) + ",C\r\n"
                                            : "P:" + QByteArray::number(i) + ",psi\r\n";
        after += line;
        expected << QString::fromLatin1(line);
    }

    QStringList seen; // every line the secondary link showed, in order
    if (primaryLink) {
        QVERIFY(pick(c().cboPort, QStringLiteral(" 12")));
        c().optSave[1]->click();
        QVERIFY(feedTo(*instrument, bytes + after));
        QTRY_COMPARE_WITH_TIMEOUT(c().txtSensorID->text(), QStringLiteral("KEEP"), 30000);
        QTRY_COMPARE(c().txtChannel[1]->text(), QStringLiteral("199 C"));
        const QStringList lines = savedLines(QStringLiteral("KEEP"));
        QCOMPARE(lines.size(), 200);
        for (int i = 0; i < 200; ++i)
            QVERIFY(lines[i].endsWith(QStringLiteral(",KEEP,T,1,%1,C,,psi").arg(i)));
        QVERIFY(!QFileInfo::exists(world->dataFolder() + QStringLiteral("/LONG.txt")));
    } else {
        connect(w->secondary, &SecondaryLink::streamChanged, this,
                [&seen](const QString &text) { seen << text; });
        QVERIFY(pick(c().cboStepperPort, QStringLiteral("3")));
        // The pressure link drains 1024 bytes per poll; polling back to back gets 10 MB
        // through in test time.
        w->secondary->setPollInterval(0);
        QVERIFY(feedTo(*gauge, bytes + after));
        QTRY_COMPARE_WITH_TIMEOUT(c().txtPressure->text(), QStringLiteral("199"), 30000);
        w->secondary->setPollInterval(125);
        QVERIFY(seen.size() >= 200);
        QCOMPARE(seen.mid(seen.size() - 200), expected);
    }

    const QString text = log();
    const QString dropSaid = primaryLink ? QStringLiteral("Over 64 KiB received without")
                                         : QStringLiteral("Over 64 KiB received on the secondary");
    if (!garbage) QCOMPARE(text.count(dropSaid), 1); // said once for the one endless line
    QVERIFY(text.count(dropSaid) <= 200);
    // Nothing appeared but readings files in the data folder.
    for (const QString &entry : testsupport::tree(world->home.path())) {
        const QFileInfo info(world->home.filePath(entry));
        QVERIFY2(before.contains(entry) || (info.isFile() && !info.isSymLink() &&
                                            info.absolutePath() == world->dataFolder()),
                 qPrintable(entry));
    }
}

void TestLinkFaults::hugeFieldCountsNulAndLoneCrLf()
{
    world->makeDataFolder();
    QVERIFY(pick(c().cboPort, QStringLiteral(" 12")));
    QVERIFY(pick(c().cboStepperPort, QStringLiteral("3")));
    c().optSave[1]->click();

    // Some 28,000 fields within the bound: saved, with nine channels at most.
    QByteArray many = "R:0,F1,T,9,";
    while (many.size() < 60000)
        many += "1,C,";
    // 100,000 fields: past the bound, the label is dropped and the line is not saved.
    const QByteArray hundredThousand = "R:0,F2,T,9" + QByteArray(100000, ',');
    QVERIFY(feedTo(*instrument, many + "\r\n" + hundredThousand + "\r\n" +
                                    bytes("R:0,N1,T,1,1\0002,C\r\n"
                                          "R:0,N\0,T,0\r\n"
                                          "R:0,L1,T,1,a\rb,c\nd\r\n"
                                          "R:0,END,T,0\r\n")));
    QTRY_COMPARE(c().txtSensorID->text(), QStringLiteral("END"));
    QCOMPARE(w->primary->readingCount(), 6);

    const QStringList f1 = savedLines(QStringLiteral("F1"));
    QCOMPARE(f1.size(), 1);
    QVERIFY2(f1[0].endsWith(QStringLiteral(",F1,T,9,") + QStringLiteral("1,C,").repeated(9) +
                            QStringLiteral(",psi")),
             qPrintable(f1[0].right(80)));
    QVERIFY(!QFileInfo::exists(world->dataFolder() + QStringLiteral("/F2.txt")));
    QCOMPARE(log().count(QStringLiteral("Over 64 KiB received without")), 1);
    // A NUL inside a channel reaches the file; a NUL in the identifier is refused and said.
    const QStringList n1 = savedLines(QStringLiteral("N1"));
    QCOMPARE(n1.size(), 1);
    QVERIFY(n1[0].endsWith(QStringLiteral(",N1,T,1,1") + QChar(0) + QStringLiteral("2,C,,psi")));
    QVERIFY2(log().contains(QStringLiteral("cannot name a file (control character)")),
             qPrintable(log()));
    // Lone CR and LF are text: one record, kept byte for byte.
    const QStringList l1 = savedLines(QStringLiteral("L1"));
    QCOMPARE(l1.size(), 1);
    QVERIFY(l1[0].endsWith(QStringLiteral(",L1,T,1,a\rb,c\nd,,psi")));

    // The pressure link: NUL and lone CR / LF inside the number, and the same field counts.
    QByteArray pressure = "P:7";
    while (pressure.size() < 60000)
        pressure += ",x";
    QStringList seen;
    connect(w->secondary, &SecondaryLink::streamChanged, this,
            [&seen](const QString &text) { seen << text; });
    w->secondary->setPollInterval(0); // back-to-back polls, to get 100 KB through in test time
    QVERIFY(feedTo(*gauge, pressure + "\r\n"));
    QTRY_COMPARE(c().txtPressure->text(), QStringLiteral("7"));
    QVERIFY(feedTo(*gauge, "P:8" + QByteArray(100000, ',') + "\r\n" + bytes("P:1\0002,psi\r\n")));
    QTRY_COMPARE(c().txtPressure->text(), QStringLiteral("1"));
    QVERIFY(feedTo(*gauge, "P:4\r5\n6,psi\r\n"));
    QTRY_COMPARE(c().txtPressure->text(), QStringLiteral("4"));
    QCOMPARE(seen.size(), 4);
    QCOMPARE(seen[2], QStringLiteral("P:1") + QChar(0) + QStringLiteral("2,psi\r\n"));
    QCOMPARE(log().count(QStringLiteral("Over 64 KiB received on the secondary")), 1);
}

void TestLinkFaults::wholeScenarioSendsNothing()
{
    world->makeDataFolder();
    w->primary->setWatchdogInterval(100);
    c().Command2->click();
    c().Command3->click();
    QVERIFY(pick(c().cboPort, QStringLiteral(" 12")));
    QVERIFY(pick(c().cboStepperPort, QStringLiteral("3")));
    c().optSave[1]->click();
    QVERIFY(gauge->write("P:14.7,psi\r\n"));
    QTRY_COMPARE(c().txtPressure->text(), QStringLiteral("14.7"));
    c().cmdZero->click();
    QVERIFY(instrument->write("R:0,S1,T,1,1,C\r\n"));
    QTRY_COMPARE(w->primary->readingCount(), 1);
    c().optSave[2]->click();
    QVERIFY(instrument->write("R:0,S1,T,1,2,C\r\n"));
    QTRY_COMPARE(w->primary->readingCount(), 2);
    {
        // The watchdog reopens the silent port at least once.
        QSignalSpy reopened(&w->primary->watchdog(), &QTimer::timeout);
        QVERIFY(reopened.wait());
    }
    QVERIFY(pick(c().cboPort, QStringLiteral(" 12")));
    QVERIFY(pick(c().cboStepperPort, QStringLiteral("none")));
    QVERIFY(pick(c().cboStepperPort, QStringLiteral("3")));
    QVERIFY(pick(c().cboPort, QStringLiteral("none")));
    collectSent();
    QCOMPARE(sent, QByteArray());
    QCOMPARE(savedLines(QStringLiteral("S1")).size(), 2);
}

QTEST_MAIN(TestLinkFaults)
#include "tst_linkfaults.moc"
