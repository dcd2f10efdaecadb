// The command line: what the parser accepts and refuses, and the picks it makes in a started
// window, through pseudo-terminals published as COM numbers.
#include "AppFixture.h"

#include "app/CommandLine.h"
#include "app/LogView.h"
#include "primary/PrimaryLink.h"
#include "secondary/SecondaryLink.h"
#include "serial/PortUsers.h"
#include "serial/TtyDevice.h"

#include <QRadioButton>
#include <QSignalSpy>
#include <QToolButton>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using cli::Options;
using cli::Parsed;
using SaveMode = PrimaryLink::SaveMode;

Q_DECLARE_METATYPE(Options)

class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void goodForms_data();
    void goodForms();
    void badForms_data();
    void badForms();
    void helpAndVersion();
    void theAutostartExampleParses();
    void picksAsTheOperatorWould();
    void manyForeignDescriptorsAreLookedAtOffTheWindowThread();
    void absentPortsAreWaitedForWithoutABox();
    void theOperatorEndsTheWait();
};

void TestCommandLine::goodForms_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<Options>("expected");
    QTest::newRow("nothing") << QStringList() << Options{};
    QTest::newRow("all three") << QStringList{"--port", "7", "--secondary", "8", "--save", "all"}
                               << Options{7, 8, SaveMode::All};
    QTest::newRow("with =, any order")
        << QStringList{"--save=current", "--secondary=256", "--port=30"}
        << Options{30, 256, SaveMode::Current};
    QTest::newRow("lowest, save none")
        << QStringList{"--port", "1", "--save", "none"} << Options{1, std::nullopt, SaveMode::None};
    QTest::newRow("leading zeros")
        << QStringList{"--secondary", "008"} << Options{std::nullopt, 8, std::nullopt};
    QTest::newRow("headless, echo")
        << QStringList{"--echo", "--save=all", "--headless", "--port", "7"}
        << Options{7, std::nullopt, SaveMode::All, true, true};
}

void TestCommandLine::goodForms()
{
    QFETCH(QStringList, args);
    QFETCH(Options, expected);
    const Parsed p = cli::parse(args);
    QCOMPARE(p.action, Parsed::Run);
    QVERIFY(p.options == expected);
    QCOMPARE(p.output, QString());
}

void TestCommandLine::badForms_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QString port = QStringLiteral("--port needs a COM number from 1 to 30");
    const QString gauge = QStringLiteral("--secondary needs a COM number from 1 to 256");
    const QString save = QStringLiteral("--save needs all, current or none");
    QTest::newRow("unknown") << QStringList{"--baud", "9600"} << "unknown option '--baud'";
    QTest::newRow("unknown short") << QStringList{"-p", "7"} << "unknown option '-p'";
    QTest::newRow("a Qt option") << QStringList{"-platform", "xcb"} << "unknown option '-platform'";
    QTest::newRow("positional") << QStringList{"7"} << "unexpected argument '7'";
    QTest::newRow("port 0") << QStringList{"--port", "0"} << port + ", not '0'";
    QTest::newRow("port 31") << QStringList{"--port", "31"} << port + ", not '31'";
    QTest::newRow("gauge 257") << QStringList{"--secondary=257"} << gauge + ", not '257'";
    QTest::newRow("negative") << QStringList{"--port", "-3"} << port + ", not '-3'";
    QTest::newRow("not a number") << QStringList{"--port", "COM7"} << port + ", not 'COM7'";
    QTest::newRow("sign") << QStringList{"--port", "+7"} << port + ", not '+7'";
    QTest::newRow("huge") << QStringList{"--secondary", "99999999999"}
                          << gauge + ", not '99999999999'";
    QTest::newRow("missing at end") << QStringList{"--port"} << port;
    QTest::newRow("missing before option") << QStringList{"--port", "--save", "all"} << port;
    QTest::newRow("empty after =") << QStringList{"--secondary="} << gauge;
    QTest::newRow("bad save") << QStringList{"--save", "ALL"} << save + ", not 'ALL'";
    QTest::newRow("twice") << QStringList{"--port", "7", "--port=8"} << "--port is given twice";
    // Nobody is there to make a pick later: a headless run keeps what it reads from the start.
    const QStringList headless{"--headless", "--port", "7"};
    QTest::newRow("headless without a port")
        << QStringList{"--headless", "--save", "all"} << "--headless needs --port";
    QTest::newRow("headless keeping nothing")
        << headless << "--headless needs --save all or --mqtt, or nothing would be kept";
    QTest::newRow("headless not saving")
        << headless + QStringList{"--save", "none"}
        << "--headless needs --save all or --mqtt, or nothing would be kept";
    QTest::newRow("headless saving one") << headless + QStringList{"--save", "current"}
                                         << "--save current needs someone at the window, not "
                                            "--headless";
    QTest::newRow("echo with a window") << QStringList{"--echo"} << "--echo needs --headless";
    QTest::newRow("headless twice")
        << QStringList{"--headless", "--headless"} << "--headless is given twice";
    QTest::newRow("a flag with a value")
        << QStringList{"--headless=yes"} << "unknown option '--headless=yes'";
    // Bad input is refused wherever it stands, before or after --help and --version.
    QTest::newRow("after --version")
        << QStringList{"--version", "--bogus"} << "unknown option '--bogus'";
    QTest::newRow("before --version")
        << QStringList{"--bogus", "--version"} << "unknown option '--bogus'";
    QTest::newRow("after --help") << QStringList{"--help", "extra"}
                                  << "unexpected argument 'extra'";
    QTest::newRow("bad value after -h") << QStringList{"-h", "--port", "31"} << port + ", not '31'";
    QTest::newRow("one port for both")
        << QStringList{"--port", "3", "--secondary=3"}
        << "the instrument and the gauge cannot share one port (--port and --secondary both "
           "name COM3)";
    QTest::newRow("broker scheme")
        << QStringList{"--mqtt", "http://h"} << "--mqtt: unknown scheme 'http' (mqtt or mqtts)";
    QTest::newRow("broker missing")
        << QStringList{"--mqtt", "--port", "7"} << "--mqtt needs a value";
    QTest::newRow("broker password")
        << QStringList{"--mqtt-password=x"}
        << "no password on the command line, where any user can read it: use "
           "--mqtt-password-file or NARWICKPANEL_MQTT_PASSWORD";
    QTest::newRow("broker station alone")
        << QStringList{"--mqtt-station", "s"}
        << "--mqtt-ca, --mqtt-station, --mqtt-user and --mqtt-password-file need --mqtt URL";
}

void TestCommandLine::badForms()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    const Parsed p = cli::parse(args);
    QCOMPARE(p.action, Parsed::Error);
    QCOMPARE(p.exitCode, 2);
    QCOMPARE(p.output,
             QStringLiteral("narwickpanel: %1\nTry 'narwickpanel --help'.\n").arg(message));
}

void TestCommandLine::helpAndVersion()
{
    for (const QString &h : {QStringLiteral("--help"), QStringLiteral("-h")}) {
        // Help wins over --version and sound options on either side.
        const Parsed p = cli::parse({"--port", "7", "--version", h, "--save=all"});
        QCOMPARE(p.action, Parsed::Help);
        QCOMPARE(p.exitCode, 0);
        QVERIFY(p.output.startsWith(QStringLiteral(
            "Usage: narwickpanel [--port N] [--secondary M] [--save all|current|none]\n")));
    }
    const Parsed v = cli::parse({"--port=7", "--version"});
    QCOMPARE(v.action, Parsed::Version);
    QCOMPARE(v.exitCode, 0);
    QVERIFY(v.output.startsWith(QStringLiteral("NarwickPanel ")) && v.output.endsWith(u'\n'));
}

void TestCommandLine::theAutostartExampleParses()
{
    QFile entry(QStringLiteral(NP_AUTOSTART_ENTRY));
    QVERIFY(entry.open(QIODevice::ReadOnly | QIODevice::Text));
    QStringList exec;
    for (const QString &line : QString::fromUtf8(entry.readAll()).split(u'\n'))
        if (line.startsWith(QStringLiteral("Exec="))) exec = line.mid(5).split(u' ');
    QCOMPARE(exec.value(0), QStringLiteral("narwickpanel"));
    const Parsed p = cli::parse(exec.mid(1));
    QCOMPARE(p.action, Parsed::Run);
    QVERIFY(p.options.port && p.options.secondary && p.options.save == SaveMode::All);
}

namespace {
QStringList entries(const QComboBox *box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}
} // namespace

void TestCommandLine::picksAsTheOperatorWould()
{
    AppWorld world;
    testsupport::PtyPair instrument, gauge;
    world.comDir.map(7, instrument.slavePath());
    world.comDir.map(8, gauge.slavePath());
    frmMain w;
    QStringList boxes;
    w.showMessage = [&boxes](const QString &t) { boxes << t; };
    QVERIFY(w.Form_Load());

    CommandLineStart start(w, Options{7, 8, SaveMode::All});
    start.run();
    // The window shows the picks.
    QCOMPARE(w.ctl.cboStepperPort->currentText(), QStringLiteral("8"));
    QCOMPARE(w.ctl.cboPort->currentText(), QStringLiteral(" 7"));
    QVERIFY(w.ctl.optSave[1]->isChecked());
    // The links carry them out.
    QCOMPARE(w.secondary->openPort(), 7);
    QVERIFY(w.primary->isOpen());
    QCOMPARE(w.primary->port(), 7);
    QCOMPARE(w.primary->saveMode(), PrimaryLink::SaveMode::All);
    QVERIFY(!start.waitingForInstrument());
    // The instrument's pick starts the log anew, so it comes first; the gauge's lines follow.
    const QString log = w.ctl.txtIncoming->toPlainText();
    QVERIFY2(log.startsWith(QStringLiteral("\nCOM8 set\nStatus")), qPrintable(log));
    QVERIFY2(log.endsWith(QStringLiteral("\nPicked from the command line: gauge COM8, "
                                         "instrument COM 7, Save all readings\n")),
             qPrintable(log));
    QVERIFY(boxes.isEmpty());
    QCOMPARE(instrument.readSent(), QByteArray());
    QCOMPARE(gauge.readSent(), QByteArray());
}

namespace {
// Processes that hold `count` descriptors on /dev/null between them, as a busy machine's other
// programs do; they end with the object.
struct DescriptorHolders {
    std::vector<pid_t> pids;
    explicit DescriptorHolders(int count)
    {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        const int each = int(std::min<rlim_t>(limit.rlim_max, 1 << 20)) - 64;
        for (int left = count; left > 0; left -= each) {
            int ready[2];
            if (::pipe(ready) != 0) return;
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(ready[0]);
                rlimit raised{limit.rlim_max, limit.rlim_max};
                ::setrlimit(RLIMIT_NOFILE, &raised);
                const int fd = ::open("/dev/null", O_RDONLY);
                for (int i = 1; i < std::min(left, each); ++i)
                    if (::dup(fd) < 0) ::_exit(1);
                const char ok = 1;
                if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
                for (;;)
                    ::pause();
            }
            ::close(ready[1]);
            char ok = 0;
            const bool started = pid > 0 && ::read(ready[0], &ok, 1) == 1;
            ::close(ready[0]);
            if (pid > 0) pids.push_back(pid);
            if (!started) return;
        }
    }
    ~DescriptorHolders()
    {
        for (const pid_t pid : pids) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};
} // namespace

// When other processes hold so many descriptors that looking through them would freeze the
// window, the look is taken on a worker thread: start-up returns at once with the scans still
// to come, and the scans, then the command line's picks, then an operator's rescan and pick
// made meanwhile all follow in their order once it is there.
void TestCommandLine::manyForeignDescriptorsAreLookedAtOffTheWindowThread()
{
    DescriptorHolders holders(int(serial::CostlyLook) + 5000);
    if (serial::otherProcessDescriptors() < serial::CostlyLook)
        QSKIP("the kernel does not tell how many descriptors a process holds (Linux < 6.2)");
    AppWorld world;
    testsupport::PtyPair instrument, gauge, held;
    world.comDir.map(7, instrument.slavePath());
    world.comDir.map(8, gauge.slavePath());
    world.comDir.map(5, held.slavePath());
    testsupport::OtherProcess holder(held.slavePath());
    QVERIFY(holder.isValid());
    frmMain w;
    w.showMessage = [](const QString &t) { QFAIL(qPrintable(t)); };
    QSignalSpy scanned(&w, &frmMain::portsScanned);
    QVERIFY(w.Form_Load());
    QVERIFY(!w.startUpScanned());
    QCOMPARE(w.ctl.txtIncoming->toPlainText(),
             QStringLiteral("Scanning available COM hardware..."));
    CommandLineStart start(w, Options{7, 8, SaveMode::All});
    start.run(); // waits for the scans
    QCOMPARE(w.secondary->openPort(), -1);
    QVERIFY(!w.primary->isOpen());
    // The operator rescans and picks COM 7 before the look is there: after the picks.
    emit w.ctl.Command2->clicked();
    QVERIFY(scanned.wait(120000));
    QVERIFY(w.startUpScanned());
    QCOMPARE(w.secondary->openPort(), 7);
    QCOMPARE(w.ctl.cboPort->currentText(), QStringLiteral(" 7"));
    QVERIFY(w.primary->isOpen());
    const QString picked = w.ctl.txtIncoming->toPlainText();
    QVERIFY2(picked.endsWith(QStringLiteral("\nPicked from the command line: gauge COM8, "
                                            "instrument COM 7, Save all readings\n")),
             qPrintable(picked));
    QVERIFY(pick(w.ctl.cboPort, QStringLiteral(" 7")));
    // The rescan, then the pick: the port is open again and the rescan saw COM 5 held.
    QTRY_VERIFY_WITH_TIMEOUT(
        w.ctl.txtIncoming->toPlainText().contains(QStringLiteral("COM 5 already open")), 120000);
    QTRY_VERIFY_WITH_TIMEOUT(w.primary->isOpen(), 120000);
    QCOMPARE(w.primary->port(), 7);
}

void TestCommandLine::absentPortsAreWaitedForWithoutABox()
{
    AppWorld world;
    testsupport::PtyPair held;
    world.comDir.map(3, held.slavePath());
    int err = 0;
    serial::ExclusivePort holder = serial::openExclusive(held.slavePath(), &err);
    QVERIFY(holder.isOpen());
    frmMain w;
    QStringList boxes;
    w.showMessage = [&boxes](const QString &t) { boxes << t; };
    QVERIFY(w.Form_Load());

    CommandLineStart start(w, Options{12, 9, std::nullopt});
    start.setRetryInterval(20);
    start.run();
    QVERIFY(boxes.isEmpty());
    // The lists show what was asked for, in COM-number order.
    QCOMPARE(entries(w.ctl.cboPort), QStringList({"none", " 3", " 12"}));
    QCOMPARE(w.ctl.cboPort->currentText(), QStringLiteral(" 12"));
    QCOMPARE(entries(w.ctl.cboStepperPort), QStringList({"none", "9"}));
    QCOMPARE(w.ctl.cboStepperPort->currentText(), QStringLiteral("9"));
    const QString log = w.ctl.txtIncoming->toPlainText();
    QVERIFY2(log.contains(QStringLiteral("\nCOM9: Reset Error-1\nCOM9 is not there yet")),
             qPrintable(log));
    QVERIFY2(log.startsWith(QStringLiteral("COM 12 could not be opened: COM 12 maps to no "
                                           "device\nCOM 12 is not there yet")),
             qPrintable(log));
    QVERIFY2(log.endsWith(QStringLiteral("\nPicked from the command line: gauge COM9, "
                                         "instrument COM 12\n")),
             qPrintable(log));
    QVERIFY(start.waitingForInstrument());
    QVERIFY(w.secondary->retrying());

    // The gauge appears, then the instrument: each is opened once it is there. (The gauge
    // link's own messages reach the window's log on lines of their own.)
    testsupport::PtyPair instrument, gauge;
    world.comDir.map(9, gauge.slavePath());
    QTRY_COMPARE(w.secondary->openPort(), 8);
    QVERIFY(w.ctl.txtIncoming->toPlainText().contains(QStringLiteral("\nCOM9 is there now\n")));
    QVERIFY(start.waitingForInstrument());
    world.comDir.map(12, instrument.slavePath());
    QTRY_VERIFY(w.primary->isOpen());
    QVERIFY(!start.waitingForInstrument());
    QCOMPARE(w.primary->port(), 12);
    QVERIFY(w.ctl.txtIncoming->toPlainText().contains(
        QStringLiteral("COM 12 is there now: picked from the command line")));
    QVERIFY(instrument.write("R:0,S1,T,1,5,C\r\n"));
    QTRY_COMPARE(w.primary->readingCount(), 1);
    QVERIFY(boxes.isEmpty());

    // A port another program holds is there: its failure is logged, and it is not waited for.
    w.secondary->rescan();
    CommandLineStart again(w, Options{std::nullopt, 3, std::nullopt});
    again.run();
    QVERIFY(w.ctl.txtIncoming->toPlainText().contains(QStringLiteral("\nCOM3: Reset Error-2")));
    QVERIFY(!w.secondary->retrying());
    QVERIFY(boxes.isEmpty());
    holder.close();
}

void TestCommandLine::theOperatorEndsTheWait()
{
    AppWorld world;
    testsupport::PtyPair other;
    world.comDir.map(5, other.slavePath());
    frmMain w;
    QVERIFY(w.Form_Load());
    const std::function<void()> ends[] = {
        [&w] { pick(w.ctl.cboPort, QStringLiteral("none")); },
        [&w] { pick(w.ctl.cboPort, QStringLiteral(" 5")); },
        [&w] { w.ctl.Command2->click(); },
    };
    for (const auto &end : ends) {
        CommandLineStart start(w, Options{12, std::nullopt, std::nullopt});
        start.setRetryInterval(20);
        start.run();
        QVERIFY(start.waitingForInstrument());
        end();
        QVERIFY(!start.waitingForInstrument());
    }
    // However the operator moved on, the wait ends without picking the command line's port.
    CommandLineStart start(w, Options{12, std::nullopt, std::nullopt});
    start.setRetryInterval(20);
    start.run();
    w.ctl.cboPort->setCurrentIndex(w.ctl.cboPort->findText(QStringLiteral(" 5")));
    w.primary->open(5);
    testsupport::PtyPair late;
    world.comDir.map(12, late.slavePath());
    QTRY_VERIFY(!start.waitingForInstrument());
    QCOMPARE(w.primary->port(), 5);
    QVERIFY(w.primary->isOpen());
}

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
