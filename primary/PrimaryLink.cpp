#include "primary/PrimaryLink.h"

#include "app/LogView.h"
#include "app/StatusBar.h"
#include "primary/Reading.h"
#include "serial/ComNames.h"
#include "serial/MSComm.h"
#include "serial/PortProbe.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

#include <algorithm>

namespace {

constexpr int FirstComPort = 1;
constexpr int LastComPort = 30;

} // namespace

PrimaryLink::PrimaryLink(Controls &controls, serial::MSComm &comm, QObject *parent)
    : QObject(parent), c(controls), MSComm1(comm)
{
}

void PrimaryLink::wire()
{
    connect(c.cboPort, &QComboBox::activated, this, [this] { cboPort_Click(); });
    connect(c.Command2, &QToolButton::clicked, this, &PrimaryLink::Command2_Click);
    connect(&MSComm1, &serial::MSComm::OnComm, this, &PrimaryLink::MSComm1_OnComm);
    connect(&MSComm1, &serial::MSComm::hungUp, this, &PrimaryLink::onHangUp);
    connect(c.Timer1, &QTimer::timeout, this, &PrimaryLink::Timer1_Timer);
    if (QButtonGroup *group = c.optSave[0]->group()) {
        connect(group, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
            if (checked) optSave_Click(id);
        });
    }
}

void PrimaryLink::setWatchdogInterval(int ms)
{
    c.Timer1->setInterval(ms);
}

// ---------------------------------------------------------------------------------------------
// Port scan

void PrimaryLink::Command2_Click()
{
    c.txtIncoming->setPlainText(QStringLiteral("Scanning available COM hardware..."));
    ScanComPorts();
}

void PrimaryLink::ScanComPorts()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    c.cboPort->clear();
    c.cboPort->addItem(QStringLiteral("none"));
    if (MSComm1.PortOpen()) MSComm1.setPortOpen(false);
    // A port the scan released stays closed: the watchdog must not reopen it.
    c.Timer1->stop();

    for (int n = FirstComPort; n <= LastComPort; ++n) {
        const serial::ProbeResult result = serial::probeCom(n);
        if (result == serial::ProbeResult::Absent) continue;
        const QString device = serial::comDevicePath(n);
        c.cboPort->addItem(QLatin1Char(' ') + QString::number(n));
        c.cboPort->setItemData(c.cboPort->count() - 1,
                               QStringLiteral("COM %1: %2").arg(n).arg(device), Qt::ToolTipRole);
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
    c.cboPort->setCurrentIndex(0);
    PortState = MSComm1.PortOpen() ? QStringLiteral("Open") : QStringLiteral("Closed");
    showPortStatus();
    QApplication::restoreOverrideCursor();
}

// ---------------------------------------------------------------------------------------------
// Port pick

void PrimaryLink::cboPort_Click()
{
    if (MSComm1.PortOpen()) MSComm1.setPortOpen(false);
    ReadingCount = 0;
    c.sbStatusBar->setPanelText(3, QString::number(ReadingCount));

    QString refusal;
    const QString text = c.cboPort->currentText();
    if (text != QLatin1String("none")) {
        bool ok = false;
        const int number = text.trimmed().toInt(&ok);
        if (ok && number >= 1 && number <= 32767) {
            PrimaryPort = static_cast<qint16>(number);
            QString reason;
            if (!MSComm1.setCommPort(PrimaryPort, &reason) || !MSComm1.setPortOpen(true, &reason))
                refusal = QStringLiteral("COM %1 could not be opened: %2").arg(number).arg(reason);
        }
    } else {
        // The user released the port: it stays closed until a port is picked again.
        c.Timer1->stop();
    }

    c.txtIncoming->clear();
    if (!refusal.isEmpty()) c.txtIncoming->setPlainText(refusal);
    PortState = MSComm1.PortOpen() ? QStringLiteral("Open") : QStringLiteral("Closed");
    showPortStatus();
}

void PrimaryLink::showPortStatus()
{
    c.sbStatusBar->setPanelText(1, QStringLiteral("COM ") + QString::number(MSComm1.CommPort()) +
                                       QStringLiteral(": ") + MSComm1.Settings() +
                                       QStringLiteral(" - ") + PortState);
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
        queueLog(QStringLiteral("Over 64 KiB received without a line end: the oldest text of "
                                "the unfinished line was dropped"));
    QString line;
    while (LineBuffer.takeLine(&line)) {
        c.Timer1->stop();
        Datastream(line);
        if (ReadingCount < 32767) ++ReadingCount;
        echo(line);
    }
    m_inEvent = false;
    m_eventTime = QDateTime();
    // The log takes the text at once (it paints at most once a frame itself). The boxes and the
    // count show the newest reading at most once a frame: lines that come faster are still
    // parsed, counted and saved one by one.
    if (!m_pendingLog.isEmpty()) {
        c.txtIncoming->appendText(m_pendingLog);
        m_pendingLog.clear();
    }
    m_display.request();
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
}

void PrimaryLink::Timer1_Timer()
{
    MSComm1.setPortOpen(false);
    MSComm1.setPortOpen(true);
}

void PrimaryLink::onHangUp(const QString &reason)
{
    // Said once per hang-up; an armed watchdog reopens the port when the device returns.
    appendLogLine(reason + QStringLiteral("; the port is closed until the device returns"));
}

// ---------------------------------------------------------------------------------------------
// Parsing and saving

void PrimaryLink::Datastream(const QString &Message)
{
    if (!MSComm1.PortOpen()) return;
    // The time stamp is only needed when the reading may be saved.
    const QString stamp = SaveMode == 0 ? QString() : m_generalDate.format(stampTime());
    const primary::Reading reading = primary::parseReading(Message, stamp);
    if (reading.labelled) {
        if (reading.sensorId) setBox(0, *reading.sensorId);
        if (reading.sensorType) setBox(1, *reading.sensorType);
        for (int k = 1; k <= 10; ++k) {
            if (reading.channel[k]) setBox(1 + k, *reading.channel[k]);
        }
        saveStep(reading.record, reading.sensorId.value_or(QString()), reading.recordComplete);
    }
    c.Timer1->start();
    if (!m_inEvent) m_display.runNow();
}

QDateTime PrimaryLink::stampTime()
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
        const QString line = record + c.txtPressure->text() + QStringLiteral(",psi");
        const primary::SaveResult result = primary::appendRecord(NPpath, sensorId, line);
        const QString message = m_saveReporter.report(result);
        if (!message.isEmpty()) queueLog(message);
    }
    if (SaveMode == 2) {
        c.optSave[0]->setChecked(true);
        c.optSave[0]->setFocus();
        SaveMode = 0;
    }
}

void PrimaryLink::optSave_Click(int Index)
{
    SaveMode = static_cast<qint16>(Index);
}

// ---------------------------------------------------------------------------------------------
// Display

void PrimaryLink::setBox(int index, const QString &text)
{
    m_boxText[index] = text;
    m_boxDirty.set(index);
}

void PrimaryLink::queueLog(const QString &text)
{
    // A message stands on a line of its own.
    if (!m_pendingLog.isEmpty() && !m_pendingLog.endsWith(QLatin1String("\r\n")))
        m_pendingLog += QLatin1String("\r\n");
    m_pendingLog += text + QLatin1String("\r\n");
}

void PrimaryLink::flushDisplay()
{
    if (m_boxDirty.any()) {
        for (int i = 0; i < 12; ++i) {
            if (!m_boxDirty.test(i)) continue;
            QLineEdit *box = i == 0   ? c.txtSensorID
                             : i == 1 ? c.txtSensorType
                                      : c.txtChannel[i - 1];
            if (box->text() != m_boxText[i]) box->setText(m_boxText[i]);
        }
        m_boxDirty.reset();
    }
    c.sbStatusBar->setPanelText(3, QString::number(ReadingCount));
    if (!m_pendingLog.isEmpty()) {
        c.txtIncoming->appendText(m_pendingLog);
        m_pendingLog.clear();
    }
}

void PrimaryLink::appendLogLine(const QString &line)
{
    c.txtIncoming->appendText(QLatin1String("\r\n") + line);
}
