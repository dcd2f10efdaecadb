#include "primary/PrimaryLink.h"

#include "serial/ComNames.h"
#include "serial/PortProbe.h"
#include "serial/PortUsers.h"

#include <utility>

namespace {

constexpr int FirstComPort = 1;
constexpr int LastComPort = 30;

} // namespace

PrimaryLink::PrimaryLink(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<primary::Reading>(); // for queued connections
    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(WatchdogMs);
    connect(&MSComm1, &serial::MSComm::OnComm, this, &PrimaryLink::MSComm1_OnComm);
    connect(&MSComm1, &serial::MSComm::hungUp, this, &PrimaryLink::onHangUp);
    connect(&Timer1, &QTimer::timeout, this, &PrimaryLink::Timer1_Timer);
}

// ---------------------------------------------------------------------------------------------
// Port scan

void PrimaryLink::Command2_Click()
{
    emit logReplaced(QStringLiteral("Scanning available COM hardware..."));
    ScanComPorts();
}

void PrimaryLink::ScanComPorts()
{
    // One look at the other processes' open ports serves every probe of the scan.
    serial::ProbeScope scope;
    if (MSComm1.PortOpen()) MSComm1.setPortOpen(false);
    // A port the scan released stays closed: the watchdog must not reopen it.
    Timer1.stop();

    QList<PortEntry> entries;
    for (int n = FirstComPort; n <= LastComPort; ++n) {
        const serial::ProbeResult result = serial::probeCom(n);
        if (result == serial::ProbeResult::Absent) continue;
        const QString device = serial::comDevicePath(n);
        entries.append({QLatin1Char(' ') + QString::number(n),
                        QStringLiteral("COM %1: %2").arg(n).arg(device)});
        if (result == serial::ProbeResult::Held) {
            appendLogLine(QStringLiteral("COM ") + QString::number(n) +
                          QStringLiteral(" already open"));
        } else if (result == serial::ProbeResult::NoPermission) {
            appendLogLine(QStringLiteral("COM %1: no permission to open %2 (add your user to "
                                         "the dialout group, then log in again)")
                              .arg(n)
                              .arg(device));
        }
    }

    appendLogLine(QStringLiteral("COM scan complete"));
    emit portsListed(entries);
    PortState = MSComm1.PortOpen() ? QStringLiteral("Open") : QStringLiteral("Closed");
    showPortStatus();
}

// ---------------------------------------------------------------------------------------------
// Port pick

void PrimaryLink::cboPort_Click(const QString &entry)
{
    if (MSComm1.PortOpen()) MSComm1.setPortOpen(false);
    ReadingCount = 0;
    m_countShown = 0;
    emit countChanged(ReadingCount);

    QString refusal;
    if (entry != QLatin1String("none")) {
        bool ok = false;
        const int number = entry.trimmed().toInt(&ok);
        if (ok && number >= 1 && number <= 32767) {
            PrimaryPort = static_cast<qint16>(number);
            QString reason;
            if (!MSComm1.setCommPort(PrimaryPort, &reason) || !MSComm1.setPortOpen(true, &reason))
                refusal = QStringLiteral("COM %1 could not be opened: %2").arg(number).arg(reason);
        }
    } else {
        // The user released the port: it stays closed until a port is picked again.
        Timer1.stop();
    }

    emit logReplaced(refusal);
    PortState = MSComm1.PortOpen() ? QStringLiteral("Open") : QStringLiteral("Closed");
    showPortStatus();
}

QString PrimaryLink::portStatus() const
{
    return QStringLiteral("COM ") + QString::number(MSComm1.CommPort()) + QStringLiteral(": ") +
           MSComm1.Settings() + QStringLiteral(" - ") + PortState;
}

void PrimaryLink::showPortStatus()
{
    emit portStatusChanged(portStatus());
}

// ---------------------------------------------------------------------------------------------
// Receive, line assembly and the watchdog

void PrimaryLink::MSComm1_OnComm()
{
    switch (MSComm1.CommEvent()) {
    case serial::MSComm::comEvReceive:
        receive();
        break;
    case serial::MSComm::comEventBreak:
        MSComm1.setBreak(false);
        resetPort();
        break;
    case serial::MSComm::comEvEOF:
    case serial::MSComm::comEventOverrun:
    case serial::MSComm::comEventRxOver:
    case serial::MSComm::comEventRxParity:
    case serial::MSComm::comEventTxFull:
    case serial::MSComm::comEventDCB:
        resetPort();
        break;
    default:
        break;
    }
}

void PrimaryLink::receive()
{
    m_inEvent = true;
    if (LineBuffer.append(MSComm1.Input()))
        logMessage(QStringLiteral("Over 64 KiB received without a line end: the oldest text of "
                                  "the unfinished line was dropped"));
    QString line;
    while (LineBuffer.takeLine(&line)) {
        Timer1.stop();
        if (ReadingCount < 32767) ++ReadingCount;
        Datastream(line);
        echo(line);
    }
    m_inEvent = false;
    m_eventTime = QDateTime();
    announce();
}

void PrimaryLink::echo(const QString &line)
{
    // The log holds its last 10,000 lines; a line is shown up to 4096 characters so that
    // those lines stay small whatever the instrument sends.
    constexpr qsizetype Shown = 4096;
    if (line.size() <= Shown + 2) {
        m_pendingLog += line;
        return;
    }
    m_pendingLog += line.left(Shown);
    m_pendingLog +=
        QStringLiteral(" [%1 more characters not shown]\r\n").arg(line.size() - Shown - 2);
}

void PrimaryLink::resetPort()
{
    MSComm1.setPortOpen(false);
    MSComm1.setHandshaking(0);
    MSComm1.setPortOpen(true);
    updatePortState();
}

void PrimaryLink::Timer1_Timer()
{
    MSComm1.setPortOpen(false);
    MSComm1.setPortOpen(true);
    updatePortState();
}

void PrimaryLink::onHangUp(const QString &reason)
{
    // Said once per hang-up. The watchdog then reopens the port once the device is back,
    // whether or not a line ever came: it keeps trying every interval while the device is away.
    logMessage(reason + QStringLiteral("; the port is closed until the device returns"));
    updatePortState();
    Timer1.start();
}

// The status line follows the port when it closes or opens by itself.
void PrimaryLink::updatePortState()
{
    const QString state = MSComm1.PortOpen() ? QStringLiteral("Open") : QStringLiteral("Closed");
    if (state == PortState) return;
    PortState = state;
    showPortStatus();
}

// ---------------------------------------------------------------------------------------------
// Parsing and saving

void PrimaryLink::Datastream(const QString &Message)
{
    if (!MSComm1.PortOpen()) return;
    // The clock is read once per receive event: its lines share one stamp.
    const QDateTime when = eventTime();
    const QString stamp = SaveMode == 0 ? QString() : m_generalDate.recordStamp(when);
    primary::ParsedLine reading = primary::parseReading(Message, stamp);
    if (reading.labelled) {
        if (reading.sensorId) setBox(0, *reading.sensorId);
        if (reading.sensorType) setBox(1, *reading.sensorType);
        for (int k = 1; k <= 10; ++k) {
            if (reading.channel[k]) setBox(1 + k, *reading.channel[k]);
        }
        reading.reading.time = when;
        reading.reading.count = ReadingCount;
        reading.reading.seq = ++m_seq;
        emit readingParsed(reading.reading);
        saveStep(reading.record, reading.sensorId.value_or(QString()), reading.recordComplete);
    }
    Timer1.start();
    if (!m_inEvent) announce();
}

QDateTime PrimaryLink::eventTime()
{
    // Lines of one receive event share one reading of the clock; asking the system for the
    // local time costs more than the rest of a line.
    if (!m_inEvent) return m_clock ? m_clock() : QDateTime::currentDateTime();
    if (!m_eventTime.isValid()) m_eventTime = m_clock ? m_clock() : QDateTime::currentDateTime();
    return m_eventTime;
}

void PrimaryLink::saveStep(const QString &record, const QString &sensorId, bool recordComplete)
{
    if (SaveMode == 0) return;
    // A record without its first four positions is not written.
    if (recordComplete) {
        const QString pressure = m_pressure ? m_pressure() : QString();
        const QString line = record + pressure + QStringLiteral(",psi");
        const primary::SaveResult result = primary::appendRecord(NPpath, sensorId, line);
        if (result.ok) m_diskSync.written(result.file);
        const QString message = m_saveReporter.report(result);
        // "Save current reading" asked for this one reading: why it was not saved is said
        // every time. "Save all readings" says a failure once, until it changes or ends.
        if (SaveMode == 2 && !result.ok)
            logMessage(result.reason);
        else if (!message.isEmpty())
            logMessage(message);
    }
    if (SaveMode == 2) {
        SaveMode = 0;
        emit saveModeReset();
    }
}

void PrimaryLink::optSave_Click(int Index)
{
    SaveMode = static_cast<qint16>(Index);
    if (SaveMode == 0) m_diskSync.syncPending(); // what was saved is on the disk now
}

// ---------------------------------------------------------------------------------------------
// What the operator sees

void PrimaryLink::setBox(int index, const QString &text)
{
    if (m_boxText[index] == text) return;
    m_boxText[index] = text;
    m_boxDirty.set(index);
}

void PrimaryLink::logMessage(const QString &text)
{
    // The lines echoed before it come first.
    if (!m_pendingLog.isEmpty()) emit logAppended(std::exchange(m_pendingLog, QString()));
    emit messageLogged(text);
}

void PrimaryLink::announce()
{
    if (m_boxDirty.any()) {
        for (int i = 0; i < BoxCount; ++i)
            if (m_boxDirty.test(i)) emit boxChanged(i, m_boxText[i]);
        m_boxDirty.reset();
    }
    if (m_countShown != ReadingCount) {
        m_countShown = ReadingCount;
        emit countChanged(ReadingCount);
    }
    if (!m_pendingLog.isEmpty()) {
        const QString text = std::exchange(m_pendingLog, QString());
        emit logAppended(text);
    }
}

void PrimaryLink::appendLogLine(const QString &line)
{
    emit logAppended(QLatin1String("\r\n") + line);
}
