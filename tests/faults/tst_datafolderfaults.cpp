// Faults of the data folder and of readings files while "Save all readings" is on. Each fault
// is said in the log once, nothing crashes, and saving resumes by itself once the fault is
// gone. Read-only and full file systems are small tmpfs mounts (root only).
#include "tests/support/AppWorld.h"

#include "app/LogView.h"
#include "primary/PrimaryLink.h"
#include "serial/MSComm.h"

#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>

#include <cerrno>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::PtyPair;

namespace {

enum class Fault { Missing, ReadOnly, ReplacedByFile, FileNotWritable, DiskFull };

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestDataFolderFaults : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void faultsAreSaidOnceAndSavingResumes_data();
    void faultsAreSaidOnceAndSavingResumes();

private:
    std::unique_ptr<AppWorld> world;
    std::unique_ptr<PtyPair> instrument;
    std::unique_ptr<frmMain> w;
    bool mounted = false;
    bool immutable = false;
    int sent = 0;

    QString log() const { return w->ctl.txtIncoming->toPlainText(); }
    QString folder() const { return world->dataFolder(); }
    QString file(const QString &id) const { return folder() + u'/' + id + QStringLiteral(".txt"); }
    // Sends readings n .. n + count - 1 of sensor S1 and waits until all are counted.
    bool sendReadings(int count)
    {
        QByteArray bytes;
        for (int i = 0; i < count; ++i)
            bytes += "R:0,S1,T,1," + QByteArray::number(sent + i) + ",C\r\n";
        sent += count;
        return instrument->write(bytes) &&
               QTest::qWaitFor([this] { return w->primary->readingCount() == sent; }, 10000);
    }
    bool mountTmpfs(const QByteArray &options)
    {
        QDir().mkpath(folder());
        const QByteArray target = QFile::encodeName(folder());
        if (::mount("tmpfs", target.constData(), "tmpfs", 0, options.constData()) != 0)
            return false;
        mounted = true;
        return true;
    }
    bool remount(bool readOnly)
    {
        const QByteArray target = QFile::encodeName(folder());
        return ::mount("tmpfs", target.constData(), "tmpfs",
                       MS_REMOUNT | (readOnly ? MS_RDONLY : 0), nullptr) == 0;
    }
};

void TestDataFolderFaults::init()
{
    world = std::make_unique<AppWorld>();
    instrument = std::make_unique<PtyPair>();
    world->comDir.map(12, instrument->slavePath());
    w = std::make_unique<frmMain>();
    QVERIFY(w->Form_Load());
    QVERIFY(pick(w->ctl.cboPort, QStringLiteral(" 12")));
    w->ctl.optSave[1]->click();
    sent = 0;
}

void TestDataFolderFaults::cleanup()
{
    if (w) QVERIFY(eventLoopTurns());
    if (instrument) QCOMPARE(instrument->readSent(), QByteArray());
    w.reset();
    if (immutable)
        run(QStringLiteral("chattr"), {QStringLiteral("-i"), file(QStringLiteral("S1"))});
    immutable = false;
    if (mounted) ::umount2(QFile::encodeName(folder()).constData(), MNT_DETACH);
    mounted = false;
    instrument.reset();
    world.reset();
}

void TestDataFolderFaults::faultsAreSaidOnceAndSavingResumes_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("said");
    QTest::newRow("missing") << Fault::Missing << QStringLiteral("does not exist");
    QTest::newRow("read-only") << Fault::ReadOnly << QStringLiteral("read-only file system");
    QTest::newRow("replaced by a file")
        << Fault::ReplacedByFile << QStringLiteral("is not a folder");
    QTest::newRow("readings file not writable") << Fault::FileNotWritable << QString();
    QTest::newRow("disk full") << Fault::DiskFull << QStringLiteral("the disk is full");
}

void TestDataFolderFaults::faultsAreSaidOnceAndSavingResumes()
{
    QFETCH(Fault, fault);
    QFETCH(QString, said);
    const QString dataFolder = folder();
    const QString s1 = file(QStringLiteral("S1"));
    int keptBefore = 0; // readings saved before the fault that must stay

    switch (fault) {
    case Fault::Missing:
        break;
    case Fault::ReadOnly:
        if (!mountTmpfs("size=256k,mode=0755"))
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here (%1): the read-only data "
                                            "folder case needs root and mount rights")
                                 .arg(QString::fromLocal8Bit(strerror(errno)))));
        QVERIFY(sendReadings(3));
        keptBefore = 3;
        QVERIFY(remount(true));
        break;
    case Fault::ReplacedByFile: {
        QDir().mkpath(QFileInfo(dataFolder).absolutePath());
        QFile blocker(dataFolder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        break;
    }
    case Fault::FileNotWritable:
        world->makeDataFolder();
        QVERIFY(sendReadings(3));
        keptBefore = 3;
        immutable = run(QStringLiteral("chattr"), {QStringLiteral("+i"), s1});
        if (immutable) {
            said = QStringLiteral("the file is not writable");
        } else {
            // No immutable flag on this file system: a folder in the file's place.
            QVERIFY(QFile::rename(s1, s1 + QStringLiteral(".kept")));
            QVERIFY(QDir().mkdir(s1));
            said = QStringLiteral("a folder of that name is in the way");
        }
        break;
    case Fault::DiskFull: {
        if (!mountTmpfs("size=64k,mode=0755"))
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here (%1): the full disk case "
                                            "needs root and mount rights")
                                 .arg(QString::fromLocal8Bit(strerror(errno)))));
        QVERIFY(sendReadings(1));
        keptBefore = 1;
        // Fill every free page; the readings file keeps the room left in its last page, so
        // some readings still fit and one is cut short by the full disk.
        const int fd = ::open(QFile::encodeName(dataFolder + QStringLiteral("/filler")),
                              O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        const QByteArray page(4096, 'f');
        while (::write(fd, page.constData(), size_t(page.size())) > 0) {
        }
        while (::write(fd, "f", 1) > 0) {
        }
        ::close(fd);
        break;
    }
    }

    const QString logBefore = log();
    QVERIFY(sendReadings(fault == Fault::DiskFull ? 200 : 20));
    const QString during = log().mid(logBefore.size());
    const int failures = during.count(QStringLiteral("not saved"));
    QVERIFY2(failures == 1, qPrintable(during.right(2000)));
    QVERIFY2(during.contains(said), qPrintable(during.right(2000)));
    if (fault == Fault::Missing) QVERIFY(!QFileInfo::exists(dataFolder)); // never created

    // The fault goes away; saving resumes with the next reading, said once.
    switch (fault) {
    case Fault::Missing:
        world->makeDataFolder();
        break;
    case Fault::ReadOnly:
        QVERIFY(remount(false));
        break;
    case Fault::ReplacedByFile:
        QVERIFY(QFile::remove(dataFolder));
        world->makeDataFolder();
        break;
    case Fault::FileNotWritable:
        if (immutable) {
            QVERIFY(run(QStringLiteral("chattr"), {QStringLiteral("-i"), s1}));
            immutable = false;
        } else {
            QVERIFY(QDir().rmdir(s1));
            QVERIFY(QFile::rename(s1 + QStringLiteral(".kept"), s1));
        }
        break;
    case Fault::DiskFull:
        QVERIFY(QFile::remove(dataFolder + QStringLiteral("/filler")));
        break;
    }
    const int firstAfter = sent;
    const QString logMid = log();
    QVERIFY(sendReadings(10));
    const QString resumed = log().mid(logMid.size());
    QCOMPARE(resumed.count(QStringLiteral("works again")), 1);
    QCOMPARE(resumed.count(QStringLiteral("not saved")), 0);

    // Every record in the file is a whole CR LF line, the ones before the fault are still
    // there, readings only ever go forward, and all readings after the fault are in.
    QFile f(s1);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray all = f.readAll();
    QVERIFY(all.endsWith("\r\n"));
    QList<QByteArray> records = all.split('\n');
    records.removeLast();
    int previous = -1;
    QList<int> values;
    for (const QByteArray &r : records) {
        QVERIFY2(r.endsWith(",C,,psi\r") && r.count('\r') == 1, r.constData());
        const QList<QByteArray> fields = r.split(',');
        QVERIFY2(fields.size() == 8 && fields[1] == "S1", r.constData());
        bool ok = false;
        const int value = fields[4].toInt(&ok);
        QVERIFY(ok && value > previous);
        previous = value;
        values << value;
    }
    for (int i = 0; i < keptBefore; ++i)
        QCOMPARE(values.value(i, -1), i);
    for (int i = firstAfter; i < sent; ++i)
        QVERIFY2(values.contains(i), qPrintable(QString::number(i)));
    if (fault == Fault::DiskFull)
        QVERIFY2(values.size() < sent, "the full disk refused no reading");
}

QTEST_MAIN(TestDataFolderFaults)
#include "tst_datafolderfaults.moc"
