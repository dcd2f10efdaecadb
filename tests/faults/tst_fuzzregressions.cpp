// Replays every committed fuzz input, corpus and past findings alike, through the entry points
// the fuzz targets use, so a finding stays fixed in the ordinary g++ build.
#include "fuzz/FuzzEntries.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class TestFuzzRegressions : public QObject {
    Q_OBJECT
private slots:
    void replay_data();
    void replay();
};

void TestFuzzRegressions::replay_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<QString>("file");
    const QDir root(QStringLiteral(NP_FUZZ_DIR));
    int rows = 0;
    for (int t = 0; t < int(std::size(fuzzentry::Targets)); ++t) {
        const QString name = QString::fromLatin1(fuzzentry::Targets[t].name);
        for (const char *kind : {"corpus", "regressions"}) {
            const QDir dir(root.filePath(QLatin1String(kind) + u'/' + name));
            for (const QString &f : dir.entryList(QDir::Files, QDir::Name)) {
                QTest::addRow("%s/%s/%s", kind, qPrintable(name), qPrintable(f))
                    << t << dir.filePath(f);
                ++rows;
            }
        }
    }
    QVERIFY2(rows > 0, "no committed fuzz inputs found");
}

void TestFuzzRegressions::replay()
{
    QFETCH(int, target);
    QFETCH(QString, file);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray input = f.readAll();
    // A broken rule aborts with its reason on stderr.
    fuzzentry::Targets[target].entry(reinterpret_cast<const uint8_t *>(input.constData()),
                                     size_t(input.size()));
}

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
