#include "primary/GeneralDate.h"
#include "primary/Reading.h"
#include "primary/ReadingsFile.h"
#include "serial/Cp1252.h"
#include "tests/support/Files.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using primary::appendRecord;
using primary::recordLine;
using primary::SaveReporter;
using primary::SaveResult;
using testsupport::contents;
using testsupport::tree;

namespace {

// What the save step writes for one received line: its record line with the pressure.
SaveResult save(const QString &folder, const QString &line, const QDateTime &when,
                const QString &pressure)
{
    const primary::GeneralDate date{QLocale(QStringLiteral("en_US"))};
    const std::optional<primary::Reading> r = primary::parseReading(line);
    if (!r || !r->recordable()) return {};
    return appendRecord(folder, *r->sensorId, recordLine(date.format(when), *r, pressure));
}

SaveResult failed(const QString &file, const QString &reason, bool folderWide = false)
{
    SaveResult result;
    result.file = file;
    result.reason = reason;
    result.folderWide = folderWide;
    return result;
}

SaveResult worked(const QString &file)
{
    SaveResult result;
    result.ok = true;
    result.file = file;
    return result;
}

} // namespace

class TestReadingsFile : public QObject {
    Q_OBJECT

private slots:
    void init();
    void records_data();
    void records();
    void filesPerSensorAndAppending();
    void bytesAbove127Unchanged();
    void unsafeIdentifiers_data();
    void unsafeIdentifiers();
    void safeIdentifiers_data();
    void safeIdentifiers();
    void folderProblems();
    void linksAndOddFilesRefused();
    void partialWriteTakenBack();
    void reporterSaysOnce();
    void stampsInEveryLocale_data();
    void stampsInEveryLocale();
    void recordSafeText();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_data;
};

void TestReadingsFile::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    m_data = m_root->filePath(QStringLiteral("NarwickPanel"));
    QVERIFY(QDir().mkdir(m_data));
}

void TestReadingsFile::records_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("pressure");
    QTest::addColumn<QByteArray>("file");

    const QDateTime afternoon(QDate(2014, 3, 14), QTime(15, 45, 12));
    QTest::newRow("example") << "R:0,S100,TC4,2,21.5,C,21.7,C,0\r\n"
                             << afternoon << "14.7"
                             << QByteArray(
                                    "3/14/2014 3:45:12 PM,S100,TC4,2,21.5,C,21.7,C,14.7,psi\r\n");
    QTest::newRow("midnight") << "R:0,S100,TC4,1,21.5,C\r\n"
                              << QDateTime(QDate(2014, 3, 14), QTime(0, 0)) << "14.7"
                              << QByteArray("3/14/2014,S100,TC4,1,21.5,C,14.7,psi\r\n");
    QTest::newRow("empty pressure")
        << "R:0,S100,TC4,2,21.5,C,21.7,C,0\r\n"
        << afternoon << "" << QByteArray("3/14/2014 3:45:12 PM,S100,TC4,2,21.5,C,21.7,C,,psi\r\n");
    QTest::newRow("no channels") << "R:0,S100,TC4,0,21.5,C\r\n"
                                 << afternoon << "14.7"
                                 << QByteArray("3/14/2014 3:45:12 PM,S100,TC4,0,14.7,psi\r\n");
    QTest::newRow("three fields, one line")
        << "R:0,S100,TC4\r\n"
        << afternoon << "14.7" << QByteArray("3/14/2014 3:45:12 PM,S100,TC4,0,14.7,psi\r\n");
    QTest::newRow("two fields: nothing written") << "R:0,S100\r\n"
                                                 << afternoon << "14.7" << QByteArray("<missing>");
}

void TestReadingsFile::records()
{
    QFETCH(QString, line);
    QFETCH(QDateTime, when);
    QFETCH(QString, pressure);
    QFETCH(QByteArray, file);

    const SaveResult result = save(m_data, line, when, pressure);
    QCOMPARE(result.ok, file != "<missing>");
    QCOMPARE(contents(m_data + "/S100.txt"), file);
    if (file == "<missing>") QCOMPARE(tree(m_root->path()), QStringList{"NarwickPanel/"});
}

void TestReadingsFile::filesPerSensorAndAppending()
{
    const QDateTime when(QDate(2020, 1, 2), QTime(3, 4, 5));
    QVERIFY(save(m_data, "R:0,S1,T,1,1,C\r\n", when, "1").ok);
    QVERIFY(save(m_data, "R:0,S2,T,1,2,C\r\n", when, "2").ok);
    QVERIFY(save(m_data, "R:0,S1,T,1,3,C\r\n", when.addSecs(1), "3").ok);
    QCOMPARE(contents(m_data + "/S1.txt"), QByteArray("1/2/2020 3:04:05 AM,S1,T,1,1,C,1,psi\r\n"
                                                      "1/2/2020 3:04:06 AM,S1,T,1,3,C,3,psi\r\n"));
    QCOMPARE(contents(m_data + "/S2.txt"), QByteArray("1/2/2020 3:04:05 AM,S2,T,1,2,C,2,psi\r\n"));

    // The empty identifier names ".txt".
    QVERIFY(appendRecord(m_data, QString(), u"x").ok);
    QCOMPARE(contents(m_data + "/.txt"), QByteArray("x\r\n"));

    // A file that exists from an earlier run is appended to, never truncated.
    QFile earlier(m_data + "/S3.txt");
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("old\r\n");
    earlier.close();
    QVERIFY(appendRecord(m_data, "S3", u"new").ok);
    QCOMPARE(contents(m_data + "/S3.txt"), QByteArray("old\r\nnew\r\n"));
}

void TestReadingsFile::bytesAbove127Unchanged()
{
    QByteArray high;
    for (int b = 0x80; b < 0x100; ++b)
        if (b != ',') high.append(char(b));
    const QString line = serial::decodeCp1252("R:0,S9,T\xE9,1," + high +
                                              ",\xB0"
                                              "C\r\n");
    const SaveResult result = save(m_data, line, QDateTime(QDate(2014, 3, 14), QTime(1, 2, 3)), "");
    QVERIFY2(result.ok, qPrintable(result.reason));
    QCOMPARE(contents(m_data + "/S9.txt"), "3/14/2014 1:02:03 AM,S9,T\xE9,1," + high +
                                               ",\xB0"
                                               "C,,psi\r\n");

    // A character without a byte in the table is written as '?', the rest unchanged.
    QVERIFY(appendRecord(m_data, "S10", u"a\u4E2Db").ok);
    QCOMPARE(contents(m_data + "/S10.txt"), QByteArray("a?b\r\n"));
}

void TestReadingsFile::unsafeIdentifiers_data()
{
    QTest::addColumn<QString>("id");
    for (const char *id :
         {"../x",     "a/b",      "/etc/x", "..\\x", "a\\b",  "CON",  "con",  "com1",
          "Com9",     "lpt9.txt", "LPT1",   "PRN",   "aux",   "NUL",  "nul.", "CON.x",
          "con .txt", "a:b",      "a*b",    "a?b",   "a\"b",  "a<b",  "a>b",  "a|b",
          "a\tb",     "S100\r\n", "a\x01",  "\x7f",  "NUL .", "\x1b", "*"})
        QTest::newRow(id) << QString::fromLatin1(id);
    QTest::newRow("C1 control") << serial::decodeCp1252("a\x81");
    QTest::newRow("COM superscript one") << serial::decodeCp1252("COM\xB9");
}

void TestReadingsFile::unsafeIdentifiers()
{
    QFETCH(QString, id);
    const QStringList before = tree(m_root->path());
    const QString problem = primary::identifierProblem(id);
    QVERIFY(!problem.isEmpty());

    const SaveResult result = appendRecord(m_data, id, u"stamp,x,T,0,1,psi");
    QVERIFY(!result.ok);
    QCOMPARE(result.reason, problem);
    QVERIFY2(result.reason.contains("sensor identifier"), qPrintable(result.reason));
    QVERIFY(!result.reason.contains(u'\r') && !result.reason.contains(u'\x01'));
    QCOMPARE(tree(m_root->path()), before);
}

void TestReadingsFile::safeIdentifiers_data()
{
    QTest::addColumn<QString>("id");
    for (const char *id : {"S100", "", "..", ".", "...", "CONSOLE", "COM10", "com0", "LPT", "a.b",
                           "a b", "NULL", "xCON"})
        QTest::newRow(id) << QString::fromLatin1(id);
    QTest::newRow("above 127") << serial::decodeCp1252("S\xE9\x80");
}

void TestReadingsFile::safeIdentifiers()
{
    QFETCH(QString, id);
    QCOMPARE(primary::identifierProblem(id), QString());
    const SaveResult result = appendRecord(m_data, id, u"r");
    QVERIFY2(result.ok, qPrintable(result.reason));
    QCOMPARE(contents(m_data + '/' + id + ".txt"), QByteArray("r\r\n"));
    QCOMPARE(tree(m_root->path()), (QStringList{"NarwickPanel/", "NarwickPanel/" + id + ".txt"}));
}

void TestReadingsFile::folderProblems()
{
    // A missing data folder is not created.
    const QString missing = m_root->filePath("gone");
    SaveResult result = appendRecord(missing, "S1", u"r");
    QVERIFY(!result.ok);
    QVERIFY(result.folderWide);
    QVERIFY2(result.reason.contains(missing) && result.reason.contains("does not exist"),
             qPrintable(result.reason));
    QVERIFY(!QFileInfo::exists(missing));
    QVERIFY(!appendRecord(m_root->filePath("gone/deeper"), "S1", u"r").ok);
    QVERIFY(!QFileInfo::exists(missing));

    // A file where the folder should be.
    QFile blocker(m_root->filePath("file"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    result = appendRecord(blocker.fileName(), "S1", u"r");
    QVERIFY(!result.ok);
    QVERIFY2(result.reason.contains("is not a folder"), qPrintable(result.reason));

    // A read-only folder (root writes regardless of permission bits).
    if (::geteuid() == 0) QSKIP("running as root: permission bits do not stop root");
    QVERIFY(QFile::setPermissions(m_data, QFile::ReadOwner | QFile::ExeOwner));
    result = appendRecord(m_data, "S1", u"r");
    QFile::setPermissions(m_data, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(!result.ok);
    QVERIFY(result.folderWide);
    QVERIFY2(result.reason.contains("not writable"), qPrintable(result.reason));
    QVERIFY(!QFileInfo::exists(m_data + "/S1.txt"));
}

void TestReadingsFile::linksAndOddFilesRefused()
{
    // A readings file that is a link is not followed: its target stays untouched.
    const QString target = m_root->filePath("outside.txt");
    QFile outside(target);
    QVERIFY(outside.open(QIODevice::WriteOnly));
    outside.write("keep");
    outside.close();
    QVERIFY(QFile::link(target, m_data + "/S1.txt"));
    SaveResult result = appendRecord(m_data, "S1", u"r");
    QVERIFY(!result.ok);
    QVERIFY(!result.folderWide);
    QVERIFY2(result.reason.contains("S1.txt") && result.reason.contains("link"),
             qPrintable(result.reason));
    QCOMPARE(contents(target), QByteArray("keep"));

    // A dangling link does not create its target.
    QVERIFY(QFile::link(m_root->filePath("nowhere.txt"), m_data + "/S2.txt"));
    QVERIFY(!appendRecord(m_data, "S2", u"r").ok);
    QVERIFY(!QFileInfo::exists(m_root->filePath("nowhere.txt")));

    // A pipe in the file's place neither blocks nor receives the record.
    QVERIFY(::mkfifo(QFile::encodeName(m_data + "/S3.txt").constData(), 0600) == 0);
    QVERIFY(!appendRecord(m_data, "S3", u"r").ok);

    // A folder in the file's place.
    QVERIFY(QDir().mkdir(m_data + "/S4.txt"));
    result = appendRecord(m_data, "S4", u"r");
    QVERIFY(!result.ok);
    QVERIFY(result.reason.contains("S4.txt"));

    // A name longer than the file system takes.
    const QStringList before = tree(m_root->path());
    result = appendRecord(m_data, QString(300, u'L'), u"r");
    QVERIFY(!result.ok && !result.folderWide);
    QCOMPARE(tree(m_root->path()), before);
}

void TestReadingsFile::partialWriteTakenBack()
{
    // The file size limit makes the write stop part way, as a full disk would: the part that
    // got in is taken back, so the file never holds half a record.
    const QString path = m_data + "/S1.txt";
    QVERIFY(appendRecord(m_data, "S1", u"first").ok);
    const QByteArray before = contents(path);

    struct rlimit old {};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = rlim_t(before.size() + 10);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    const SaveResult result = appendRecord(m_data, "S1", QString(100, u'x'));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!result.ok);
    QVERIFY(!result.reason.isEmpty());
    QCOMPARE(contents(path), before);
    QVERIFY(appendRecord(m_data, "S1", u"third").ok);
    QCOMPARE(contents(path), before + "third\r\n");
}

void TestReadingsFile::reporterSaysOnce()
{
    SaveReporter reporter;
    const SaveResult gone = failed("/d/S1.txt", "Readings not saved in /d: gone.", true);
    const SaveResult full = failed("/d/S2.txt", "Readings not saved in /d: full.", true);

    QCOMPARE(reporter.report(worked("/d/S1.txt")), QString()); // working: nothing to say
    QCOMPARE(reporter.report(gone), gone.reason);              // first failure
    QCOMPARE(reporter.report(gone), QString());                // same failure again
    QCOMPARE(reporter.report(failed("/d/S2.txt", gone.reason, true)), QString());
    QCOMPARE(reporter.report(full), full.reason); // the reason changed
    QCOMPARE(reporter.report(gone), gone.reason); // and changed back
    const QString again = reporter.report(worked("/d/S1.txt"));
    QVERIFY2(again.contains("works again"), qPrintable(again));
    QCOMPARE(reporter.report(worked("/d/S1.txt")), QString());
    QCOMPARE(reporter.report(gone), gone.reason); // failing after working is said again

    // One sensor refused while another saves: each said once, not at the line rate.
    SaveReporter mixed;
    const SaveResult refused = failed("/d/CON.txt", "refused CON");
    QCOMPARE(mixed.report(refused), refused.reason);
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(mixed.report(worked("/d/S1.txt")), QString());
        QCOMPARE(mixed.report(refused), QString());
    }
    QCOMPARE(mixed.report(failed("/d/NUL.txt", "refused NUL")), QString("refused NUL"));

    // Endless distinct failing files: each new one is named, a repeat within the bounded
    // table is not.
    SaveReporter many;
    int said = 0;
    for (int i = 0; i < 2000; ++i) {
        if (!many.report(failed(QStringLiteral("/d/%1.txt").arg(i), "bad")).isEmpty()) ++said;
        if (!many.report(failed(QStringLiteral("/d/%1.txt").arg(i), "bad")).isEmpty()) ++said;
    }
    QCOMPARE(said, 2000);
}

// The stamp in the file under the user's locale never holds "?": blanks and digits are made
// plain, and a stamp Windows-1252 cannot hold is written in the en_US form.
void TestReadingsFile::stampsInEveryLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QByteArray>("stamp");

    const QDateTime afternoon(QDate(2014, 3, 14), QTime(15, 45, 12));
    const QDateTime midnight(QDate(2014, 3, 14), QTime(0, 0, 0));
    const QByteArray us = "3/14/2014 3:45:12 PM";
    QTest::newRow("en_US") << "en_US" << afternoon << us;
    QTest::newRow("de_DE") << "de_DE" << afternoon << QByteArray("14.03.2014 15:45:12");
    QTest::newRow("fa_IR digits") << "fa_IR" << afternoon << QByteArray("2014/3/14 15:45:12");
    QTest::newRow("fa_IR midnight") << "fa_IR" << midnight << QByteArray("2014/3/14");
    QTest::newRow("bn_BD digits") << "bn_BD" << afternoon << QByteArray("14/3/2014 3:45:12 PM");
    QTest::newRow("zh_CN") << "zh_CN" << afternoon << QByteArray("2014/3/14 15:45:12");
    // Letters of other scripts (AM/PM, hour and minute words) cannot be held.
    QTest::newRow("ar_SA") << "ar_SA" << afternoon << us;
    QTest::newRow("ar_SA midnight") << "ar_SA" << midnight << QByteArray("3/14/2014");
    QTest::newRow("ja_JP") << "ja_JP" << afternoon << us;
    QTest::newRow("th_TH") << "th_TH" << afternoon << us;
}

void TestReadingsFile::stampsInEveryLocale()
{
    QFETCH(QString, locale);
    QFETCH(QDateTime, when);
    QFETCH(QByteArray, stamp);

    const primary::GeneralDate date{QLocale(locale)};
    const std::optional<primary::Reading> r = primary::parseReading(u"R:0,S1,TC4,1,21.5,C\r\n");
    QVERIFY(appendRecord(m_data, "S1", recordLine(date.recordStamp(when), *r, "12.5")).ok);
    QCOMPARE(contents(m_data + "/S1.txt"), stamp + ",S1,TC4,1,21.5,C,12.5,psi\r\n");
}

void TestReadingsFile::recordSafeText()
{
    using primary::recordSafe;
    // Newer en_US data: a narrow no-break space before PM; a no-break space alike.
    QCOMPARE(recordSafe(u"3:45:12\u202FPM"), QString("3:45:12 PM"));
    QCOMPARE(recordSafe(u"14.03.2014\u00A015:45"), QString("14.03.2014 15:45"));
    // Arabic-Indic, Devanagari and a digit outside the basic plane (mathematical bold 7).
    QCOMPARE(recordSafe(u"\u0661\u0662-\u0967-\U0001D7D5"), QString("12-1-7"));
    // Text Windows-1252 holds is kept as it is, above 127 too.
    QCOMPARE(recordSafe(u"21,5 \u00B0C \u20AC"), QStringLiteral(u"21,5 \u00B0C \u20AC"));
    // The Arabic decimal separator cannot be held: the caller writes its "." form instead.
    QCOMPARE(recordSafe(u"12\u066B5"), std::nullopt);
    QCOMPARE(recordSafe(u"3:45:12 \u0645"), std::nullopt);
}

QTEST_GUILESS_MAIN(TestReadingsFile)
#include "tst_readingsfile.moc"
