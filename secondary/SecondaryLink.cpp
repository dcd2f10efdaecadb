#include "secondary/SecondaryLink.h"

#include "app/LogView.h"
#include "secondary/Numbers.h"
#include "secondary/Pressure.h"
#include "serial/Cp1252.h"
#include "serial/Wsc32.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <cmath>

using namespace wsc;

namespace {

constexpr int LibraryPorts = 256;
constexpr int ProbeQueue = 512;
constexpr int OpenQueue = 1024;
constexpr int DrainPasses = 1024;

// 16-bit narrowing of a library code, as the caller looks at it.
qint16 narrow(int code)
{
    return static_cast<qint16>(code);
}

} // namespace

SecondaryLink::SecondaryLink(Controls &controls, QObject *parent) : QObject(parent), c(controls)
{
    showMessage = [](const QString &text) {
        QMessageBox::information(QApplication::activeWindow(), QStringLiteral("NarwickPanel"), text,
                                 QMessageBox::Ok);
    };
}

SecondaryLink::~SecondaryLink()
{
    closeOpenPort();
}

void SecondaryLink::wire()
{
    connect(c.cboStepperPort, &QComboBox::activated, this, [this] { cboStepperPort_Click(); });
    connect(c.Command3, &QToolButton::clicked, this, &SecondaryLink::Command3_Click);
    connect(c.Timer2, &QTimer::timeout, this, &SecondaryLink::Timer2_Timer);
    connect(c.cmdZero, &QPushButton::clicked, this, &SecondaryLink::cmdZero_Click);
}

void SecondaryLink::appendLog(const QString &text)
{
    c.txtIncoming->appendText(text);
}

void SecondaryLink::closeOpenPort()
{
    if (m_openPort >= 0) {
        SioDone(m_openPort);
        m_openPort = -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Scan

void SecondaryLink::Command3_Click()
{
    c.txtIncoming->setPlainText(QStringLiteral("Scanning available Secondary COM hardware..."));
    ScanSecondaryPorts();
}

void SecondaryLink::ScanSecondaryPorts()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    c.cboStepperPort->clear();
    c.cboStepperPort->addItem(QStringLiteral("none"));
    // Whatever secondary port is open is closed first, COM1 included.
    closeOpenPort();
    qint16 count = 0;
    for (int i = 0; i < LibraryPorts; ++i) {
        if (narrow(SioReset(i, ProbeQueue, ProbeQueue)) >= 0) {
            ++count;
            c.cboStepperPort->addItem(QString::number(i + 1));
            c.cboStepperPort->setItemData(c.cboStepperPort->count() - 1,
                                          QStringLiteral("COM %1: %2")
                                              .arg(i + 1)
                                              .arg(QString::fromLocal8Bit(SioDevicePath(i))),
                                          Qt::ToolTipRole);
            SioDone(i);
        }
    }
    appendLog(QStringLiteral("\r\nSecondary COM scan complete\r\n") +
              secondary::signPosition(count) + QStringLiteral(" port(s) found"));
    c.cboStepperPort->setCurrentIndex(0);
    QApplication::restoreOverrideCursor();
}

// ---------------------------------------------------------------------------------------------
// Open

void SecondaryLink::cboStepperPort_Click()
{
    // Whatever port is really open is closed, COM1 included.
    closeOpenPort();
    const QString text = c.cboStepperPort->currentText();
    if (text == QLatin1String("none")) {
        SecondaryPort = 0;
        c.Timer2->stop(); // nothing is open: nothing to poll
        return;
    }
    const double wanted = std::nearbyint(secondary::leadingNumber(text) - 1);
    SecondaryPort = wanted >= -32768 && wanted <= 32767 ? static_cast<qint16>(wanted) : -1;

    qint16 R = narrow(SioReset(SecondaryPort, OpenQueue, OpenQueue));
    if (R < 0) {
        showMessage(QStringLiteral("Reset Error") + secondary::signPosition(R));
        return;
    }
    m_openPort = SecondaryPort;
    SioBaud(SecondaryPort, 9600);
    SioDTR(SecondaryPort, 'S'); // a pseudo-terminal has no DTR or RTS: that code is ignored
    SioRTS(SecondaryPort, 'S');
    R = narrow(SioParms(SecondaryPort, 0, 0, 8));
    if (R < 0) {
        // A failed open leaves nothing open.
        closeOpenPort();
        showMessage(QStringLiteral("Parms Error") + secondary::signPosition(R));
        return;
    }
    appendLog(QStringLiteral("\r\nCOM") + QString::number(SecondaryPort + 1) +
              QStringLiteral(" set"));
    R = narrow(SioStatus(SecondaryPort, 8));
    appendLog(QStringLiteral("\r\nStatus") + secondary::signPosition(R) + QStringLiteral("\r\n"));
    SecondaryOpen = true;
    SioRxClear(SecondaryPort);
    c.Timer2->start();
}

// ---------------------------------------------------------------------------------------------
// Polling

void SecondaryLink::Timer2_Timer()
{
    if (!SecondaryOpen) return;
    c.Timer2->stop();
    GetIncoming();
    // Polling stops when no secondary port is open.
    if (m_openPort >= 0) c.Timer2->start();
}

void SecondaryLink::GetIncoming()
{
    char bytes[DrainPasses];
    int received = 0;
    bool hungUp = false;
    for (int pass = 0; pass < DrainPasses; ++pass) {
        const qint16 C = narrow(SioGetc(SecondaryPort));
        if (C >= 0) {
            bytes[received++] = static_cast<char>(C);
        } else if (C == SIO_HANGUP) {
            hungUp = true;
        }
    }
    if (received > 0) {
        if (PollBuffer.append(serial::decodeCp1252(QByteArrayView(bytes, received))))
            appendLog(QStringLiteral("\r\nOver 64 KiB received on the secondary port without a "
                                     "line end: the oldest text was dropped"));
        QString line;
        while (PollBuffer.takeLine(&line)) {
            QString copy = line;
            SmallStream(copy);
            // The picture is painted once per tick, whatever the number of lines.
            if (c.txtStream2->text() != line) c.txtStream2->setText(line);
        }
    }
    if (hungUp) {
        // The library has closed the port; it is opened again by picking it.
        if (m_openPort == SecondaryPort) m_openPort = -1;
        appendLog(QStringLiteral("\r\nCOM%1: the pressure device went away; pick the port again "
                                 "when it is back")
                      .arg(SecondaryPort + 1));
    }
}

// ---------------------------------------------------------------------------------------------
// Pressure and zero

void SecondaryLink::SmallStream(QString &Message)
{
    const secondary::PressureUpdate update =
        secondary::SmallStream(Message, c.txtZero->text(), QLocale::system());
    if (update.rawPressure) RawPressure = *update.rawPressure;
    if (update.pressureText && c.txtPressure->text() != *update.pressureText)
        c.txtPressure->setText(*update.pressureText);
}

void SecondaryLink::cmdZero_Click()
{
    c.txtZero->setText(RawPressure);
}
