// The simulator as a reader of its ports sees it: links in the COM directory, well-formed
// lines, faults on command, hang-ups, and a report that matches what was delivered.
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Upper bound for anything the tests wait for; reached only when something is broken.
constexpr int kPatience = 10000;

// The simulator as a child process, with its announcements on standard output.
class Sim {
public:
    explicit Sim(const QStringList &args)
    {
        m_proc.setProgram(QStringLiteral(NP_SIM_BINARY));
        m_proc.setArguments(args);
        m_proc.setProcessChannelMode(QProcess::SeparateChannels);
        m_proc.start();
    }
    ~Sim()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(kPatience);
        }
    }

    // Waits for a standard-output line matching `re`; returns the match.
    QRegularExpressionMatch waitFor(const QRegularExpression &re)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            while (m_proc.canReadLine()) {
                const QString line = QString::fromUtf8(m_proc.readLine()).trimmed();
                m_output += line + '\n';
                const auto m = re.match(line);
                if (m.hasMatch()) return m;
            }
            if (t.elapsed() > kPatience || m_proc.state() == QProcess::NotRunning) return {};
            m_proc.waitForReadyRead(100);
        }
    }
    // The pty path announced for a device ("instrument: COM7 -> /dev/pts/3").
    QString announced(const QString &device)
    {
        const auto m = waitFor(QRegularExpression('^' + device + R"(: COM\d+ -> (\S+)$)"));
        return m.hasMatch() ? m.captured(1) : QString();
    }
    void send(const QByteArray &command)
    {
        m_proc.write(command + '\n');
        m_proc.waitForBytesWritten(kPatience);
    }
    // Waits for the end; returns the exit code, -1 on a crash or a hang.
    int finish()
    {
        if (!m_proc.waitForFinished(kPatience) || m_proc.exitStatus() != QProcess::NormalExit)
            return -1;
        m_output += QString::fromUtf8(m_proc.readAllStandardOutput());
        return m_proc.exitCode();
    }
    void signal(int sig) { ::kill(static_cast<pid_t>(m_proc.processId()), sig); }
    QString output() const { return m_output; }

private:
    QProcess m_proc;
    QString m_output;
};

// The slave side of a simulated device, opened raw as the program opens it.
class Port {
public:
    explicit Port(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        if (m_fd >= 0 && tcgetattr(m_fd, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~Port() { close(); }
    bool isOpen() const { return m_fd >= 0; }
    void close()
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    bool write(const QByteArray &bytes)
    {
        return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // Reads until `done` holds for what was received, or the device hangs up. What was read
    // stays in buffer(); hungUp() tells whether the device went away.
    template <typename Done> bool readUntil(Done done)
    {
        QElapsedTimer t;
        t.start();
        while (!done(m_buffer)) {
            if (m_hungUp || t.elapsed() > kPatience) return false;
            pollfd p{m_fd, POLLIN, 0};
            ::poll(&p, 1, 100);
            char buf[4096];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0)
                m_buffer.append(buf, n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                m_hungUp = true;
        }
        return true;
    }
    bool readLines(int count)
    {
        return readUntil([count](const QByteArray &b) { return b.count("\r\n") >= count; });
    }
    bool waitForHangUp()
    {
        return !readUntil([](const QByteArray &) { return false; }) && m_hungUp;
    }
    QByteArray &buffer() { return m_buffer; }
    // Removes and returns the complete CR LF lines received so far, terminators included.
    QList<QByteArray> takeLines()
    {
        QList<QByteArray> lines;
        qsizetype end;
        while ((end = m_buffer.indexOf("\r\n")) >= 0) {
            lines << m_buffer.left(end + 2);
            m_buffer.remove(0, end + 2);
        }
        return lines;
    }

private:
    int m_fd = -1;
    QByteArray m_buffer;
    bool m_hungUp = false;
};

QMap<QString, QString> readReport(const QString &path)
{
    QMap<QString, QString> keys;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return keys;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const qsizetype space = line.indexOf(' ');
        if (space > 0) keys.insert(QString::fromUtf8(line.left(space)), line.mid(space + 1));
    }
    return keys;
}

} // namespace

class TestSim : public QObject {
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void publishesAndRemovesLinks_data();
    void publishesAndRemovesLinks();
    void readingLinesMatchReport_data();
    void readingLinesMatchReport();
    void gaugeLines();
    void hangUpReturnsUnderSameCom();
    void faultsArriveAsOrdered();
    void writeBackIsFlagged_data();
    void writeBackIsFlagged();
};

void TestSim::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected");
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: narwickpanel-sim";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << "";
    QTest::newRow("ten channels") << QStringList{"--channels", "10"} << 2 << "";
    QTest::newRow("same COM twice")
        << QStringList{"--instrument-com", "9", "--gauge-com", "9"} << 2 << "";
    QTest::newRow("bad rate") << QStringList{"--rate", "fast"} << 2 << "";
}

void TestSim::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    Sim sim(args + QStringList{"--com-dir", dir.path()});
    QCOMPARE(sim.finish(), exitCode);
    QVERIFY(sim.output().contains(expected));
    QVERIFY(QDir(dir.path())
                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                .isEmpty());
}

void TestSim::publishesAndRemovesLinks_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("SIGTERM") << "SIGTERM";
    QTest::newRow("SIGINT") << "SIGINT";
    QTest::newRow("quit command") << "quit";
}

void TestSim::publishesAndRemovesLinks()
{
    QFETCH(QString, ending);
    QTemporaryDir tmp;
    const QString comDir = tmp.path() + "/NarwickPanel/com"; // made by the simulator
    Sim sim({"--com-dir", comDir, "--instrument-com", "31", "--gauge-com", "32"});
    const QString instrument = sim.announced("instrument");
    const QString gauge = sim.announced("gauge");
    QVERIFY(!instrument.isEmpty() && !gauge.isEmpty());
    QCOMPARE(QFileInfo(comDir + "/com31").symLinkTarget(), instrument);
    QCOMPARE(QFileInfo(comDir + "/com32").symLinkTarget(), gauge);
    struct stat st {};
    QVERIFY(::stat(QFile::encodeName(comDir + "/com31").constData(), &st) == 0);
    QVERIFY(S_ISCHR(st.st_mode));

    if (ending == "SIGTERM")
        sim.signal(SIGTERM);
    else if (ending == "SIGINT")
        sim.signal(SIGINT);
    else
        sim.send("quit");
    QCOMPARE(sim.finish(), 0);
    QVERIFY(!QFileInfo::exists(comDir + "/com31") && !QFileInfo(comDir + "/com31").isSymLink());
    QVERIFY(!QFileInfo(comDir + "/com32").isSymLink());
    QVERIFY(!QFileInfo::exists(comDir)); // it made the directory, so it removes it
    QVERIFY(sim.output().contains("received 0 bytes from the program on both devices"));
}

void TestSim::readingLinesMatchReport_data()
{
    QTest::addColumn<int>("sensors");
    QTest::addColumn<int>("channels");
    QTest::addColumn<QString>("rate");
    QTest::newRow("one sensor, one channel") << 1 << 1 << "400";
    QTest::newRow("three sensors, nine channels, max rate") << 3 << 9 << "max";
    QTest::newRow("five sensors, two channels") << 5 << 2 << "1000";
}

void TestSim::readingLinesMatchReport()
{
    QFETCH(int, sensors);
    QFETCH(int, channels);
    QFETCH(QString, rate);
    const int count = 300;
    QTemporaryDir tmp;
    const QString report = tmp.path() + "/report";
    Sim sim({"--com-dir", tmp.path(), "--sensors", QString::number(sensors), "--channels",
             QString::number(channels), "--rate", rate, "--count", QString::number(count),
             "--random", "7", "--report", report, "--strict"});
    QVERIFY(!sim.announced("instrument").isEmpty());
    Port port(tmp.path() + "/com7");
    QVERIFY(port.isOpen());
    QVERIFY(port.readLines(count));
    const QList<QByteArray> lines = port.takeLines();
    QVERIFY(port.buffer().isEmpty()); // nothing beyond the last line
    port.close();                     // lets the simulator end at once
    QCOMPARE(sim.finish(), 0);

    // R:0,<id>,<type>,<n>,<value>,<unit>,... ,0 CR LF
    QString pattern = QString(R"(^R:0,(S\d{3}),([A-Z]{2}\d),%1)").arg(channels);
    for (int k = 0; k < channels; ++k)
        pattern += R"(,-?\d+\.\d+,[^,\r\n]+)";
    pattern += ",0\r\n$";
    const QRegularExpression re(pattern);
    QMap<QString, int> perSensor;
    for (const QByteArray &line : lines) {
        const auto m = re.match(QString::fromLatin1(line));
        QVERIFY2(m.hasMatch(), line.constData());
        ++perSensor[m.captured(1)];
    }
    QCOMPARE(perSensor.size(), sensors);

    const auto keys = readReport(report);
    QCOMPARE(keys.value("instrument.lines").toInt(), count);
    for (int i = 0; i < sensors; ++i) {
        const QString id = QString("S%1").arg(100 + i);
        QCOMPARE(keys.value("instrument.lines." + id).toInt(), perSensor.value(id));
    }
    QCOMPARE(keys.value("instrument.dropped_busy").toInt(), 0);
    QCOMPARE(keys.value("verdict"), QString("clean"));
}

void TestSim::gaugeLines()
{
    QTemporaryDir tmp;
    Sim sim({"--com-dir", tmp.path(), "--gauge-com", "12", "--gauge-rate", "200"});
    QVERIFY(!sim.announced("gauge").isEmpty());
    Port port(tmp.path() + "/com12");
    QVERIFY(port.isOpen());
    QVERIFY(port.readLines(20));
    const QRegularExpression re(R"(^P:(\d+\.\d\d),psi\r\n$)");
    for (const QByteArray &line : port.takeLines()) {
        const auto m = re.match(QString::fromLatin1(line));
        QVERIFY2(m.hasMatch(), line.constData());
        const double psi = m.captured(1).toDouble();
        QVERIFY2(psi > 14.0 && psi < 15.4, line.constData());
    }
    sim.send("quit");
    QCOMPARE(sim.finish(), 0);
}

void TestSim::hangUpReturnsUnderSameCom()
{
    QTemporaryDir tmp;
    const QString report = tmp.path() + "/report";
    const QString link = tmp.path() + "/com7";
    Sim sim({"--com-dir", tmp.path(), "--rate", "200", "--report", report});
    QVERIFY(!sim.announced("instrument").isEmpty());
    {
        Port before(link);
        QVERIFY(before.readLines(2));
        sim.send("hangup 0.2 instrument");
        QVERIFY(before.waitForHangUp());
        QVERIFY(sim.waitFor(QRegularExpression("^instrument: COM7 hung up")).hasMatch());
    }
    const QString again = sim.announced("instrument");
    QVERIFY(!again.isEmpty());
    QCOMPARE(QFileInfo(link).symLinkTarget(), again);
    Port after(link);
    QVERIFY(after.isOpen());
    QVERIFY(after.readLines(3));
    const QList<QByteArray> lines = after.takeLines();
    QVERIFY(lines.at(1).startsWith("R:0,S10"));
    after.close();
    sim.send("quit");
    QCOMPARE(sim.finish(), 0);
    QCOMPARE(readReport(report).value("instrument.hangups"), QString("1"));
    QCOMPARE(readReport(report).value("gauge.hangups"), QString("0"));
}

void TestSim::faultsArriveAsOrdered()
{
    QTemporaryDir tmp;
    const QString report = tmp.path() + "/report";
    // Paused from the start, so that only the faults travel until "start".
    Sim sim({"--com-dir", tmp.path(), "--fault", "stop", "--rate", "500", "--report", report});
    QVERIFY(!sim.announced("instrument").isEmpty());
    Port port(tmp.path() + "/com7");
    QVERIFY(port.isOpen());

    sim.send("garbage 600");
    QVERIFY(port.readUntil([](const QByteArray &b) { return b.size() >= 600; }));
    QByteArray garbage = port.buffer();
    QCOMPARE(garbage.size(), 600);
    QSet<char> values(garbage.cbegin(), garbage.cend());
    QCOMPARE(values.size(), 256);
    port.buffer().clear();

    sim.send("longline 5000");
    QVERIFY(port.readUntil([](const QByteArray &b) { return b.size() >= 5002; }));
    QCOMPARE(port.buffer().size(), 5002);
    QVERIFY(port.buffer().endsWith("\r\n"));
    QVERIFY(!port.buffer().left(5000).contains('\r') && !port.buffer().left(5000).contains('\n'));
    port.buffer().clear();

    // Two readings without CR LF run into the third one.
    sim.send("noterm 2");
    sim.send("start");
    QVERIFY(port.readLines(1));
    QCOMPARE(port.takeLines().first().count("R:0,"), 3);
    port.close();
    sim.send("quit");
    QCOMPARE(sim.finish(), 0);

    const auto keys = readReport(report);
    QCOMPARE(keys.value("instrument.garbage_bytes"), QString("600"));
    QCOMPARE(keys.value("instrument.longline_bytes"), QString("5002"));
    QCOMPARE(keys.value("instrument.unterminated_lines"), QString("2"));
}

void TestSim::writeBackIsFlagged_data()
{
    QTest::addColumn<bool>("strict");
    QTest::newRow("reported") << false;
    QTest::newRow("strict") << true;
}

void TestSim::writeBackIsFlagged()
{
    QFETCH(bool, strict);
    QTemporaryDir tmp;
    const QString report = tmp.path() + "/report";
    QStringList args{"--com-dir", tmp.path(), "--report", report};
    if (strict) args << "--strict";
    Sim sim(args);
    QVERIFY(!sim.announced("gauge").isEmpty());
    Port port(tmp.path() + "/com8");
    QVERIFY(port.isOpen());
    QVERIFY(port.write("hello"));
    // Ask for the report until the bytes have been seen.
    bool flagged = false;
    for (int i = 0; i < 100 && !flagged; ++i) {
        sim.send("status");
        const auto m = sim.waitFor(QRegularExpression("^(received 0 bytes|ERROR: )"));
        QVERIFY(m.hasMatch());
        flagged = m.captured(1) == "ERROR: ";
        if (!flagged) QTest::qWait(20);
    }
    QVERIFY(flagged);
    port.close();
    sim.send("quit");
    QCOMPARE(sim.finish(), strict ? 3 : 0);
    QVERIFY(sim.output().contains(
        "ERROR: the program wrote to a device: 0 bytes to the instrument, 5 bytes to the gauge"));
    const auto keys = readReport(report);
    QCOMPARE(keys.value("gauge.received_bytes"), QString("5"));
    QCOMPARE(keys.value("verdict"), QString("wrote-to-device"));
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
