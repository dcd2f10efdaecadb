#pragma once
// The secondary pressure link: the library port scan, the port pick, the 125 ms polling drain,
// SmallStream and the zero.
//
// A pressure the link cannot vouch for is not shown: when the device goes away, or a line's
// pressure cannot be computed, the pressure empties (and so does the pressure of the records
// saved meanwhile). While the device is away the link tries the same port again every RetryMs,
// one open attempt per try, until it is back or the operator picks a port or rescans.
//
// The link owns its state and its polling timer. It takes the operator's actions as calls and
// announces every change the operator can see as a signal; it knows no widget.
#include "secondary/Pressure.h"
#include "serial/LineAssembler.h"
#include "serial/PortEntry.h"

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class SecondaryLink : public QObject {
    Q_OBJECT
public:
    static constexpr int PollMs = 125;
    static constexpr int RetryMs = 5000;

    explicit SecondaryLink(QObject *parent = nullptr);
    ~SecondaryLink() override;

    // The operator's actions.
    void scan();        // lists the ports
    void rescan();      // the log restarts with the scan
    void open(int com); // a failed open is shown as a box (messageRequested)
    void close();
    // An open with nobody at the screen (from the command line): as open(), but a failed open
    // is logged with its code instead of being shown as a box, and a port that is not there is
    // tried again every RetryMs until it appears. True when the port opened.
    bool openUnattended(int com);
    void setZero(const QString &text); // the operator typed the zero
    void setZeroToCurrent();           // the current raw pressure becomes the zero

    // What txtPressure shows, in the locale's form.
    QString pressureText() const { return m_pressureText; }
    // The same pressure as a record made now carries it: "." as its decimal separator in
    // every locale, so that a record has the same fields everywhere.
    QString recordPressure() const { return m_recordPressure; }
    // The first field of the last pressure line, exactly as received.
    QString rawPressure() const { return RawPressure; }

    // The regional settings the pressure is shown in and the zero is typed in (the system's).
    void setLocale(const QLocale &locale) { m_locale = locale; }
    QString zeroText() const { return m_zeroText; }
    QString streamText() const { return m_streamText; }

    // The COM number last picked, 0 for none.
    int port() const { return SecondaryPort + 1; }
    // The library port really open now, or -1. Port 0 (COM1) is a port like any other.
    int openPort() const { return m_openPort; }
    bool polling() const { return Timer2.isActive(); }
    // True while the link waits for the picked port to appear or come back.
    bool retrying() const { return Retry.isActive(); }

    // Test seams, never used by the program itself.
    void setRetryInterval(int ms) { Retry.setInterval(ms); }
    void setPollInterval(int ms) { Timer2.setInterval(ms); }
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    const QTimer &retryTimer() const { return Retry; }
    qsizetype pendingLineSize() const { return PollBuffer.pendingSize(); }
    void SmallStream(QString &Message);

signals:
    // The scan's result: the list holds "none" and then these entries.
    void portsListed(const QList<serial::PortEntry> &entries);
    // A port was picked (0: none), by the operator or from the command line.
    void portPicked(int com);
    // Text for the end of the log (CR LF breaks lines); and the log replaced by `text`.
    void logAppended(const QString &text);
    void logReplaced(const QString &text);
    // A message of the link's own (the device went away or came back, a pressure that cannot
    // be computed, an unattended open that failed): it stands on a line of its own in the log.
    void messageLogged(const QString &text);
    void pressureChanged(const QString &text);
    // Every new pressure: each line that carries one, and none when the gauge went away or a
    // line's pressure cannot be computed. Stamped by the link's clock.
    void pressureMeasured(const secondary::Pressure &pressure);
    void streamChanged(const QString &text);
    void zeroChanged(const QString &text);
    // "Reset Error..." or "Parms Error...": the link goes on once the slot returns, so a
    // window shows it as a box that waits for OK.
    void messageRequested(const QString &text);

private:
    void ScanSecondaryPorts();
    void cboStepperPort_Click(int com, bool unattended); // 0: "none"
    void Timer2_Timer();
    void GetIncoming();
    qint16 resetPort(QString *failure);
    qint16 setUpPort(QString *failure);
    void Retry_Timer();
    void startRetry(bool afterHangUp);
    void setPressureText(const QString &text, const QString &recordText = QString());
    void measured(std::optional<double> value, const QString &recordText);
    void closeOpenPort();
    void appendLog(const QString &text);
    QString retryEvery() const;

    // Window variables of the link.
    qint16 SecondaryPort = 0;
    bool SecondaryOpen = false;
    serial::LineAssembler PollBuffer;
    QString RawPressure;
    QTimer Timer2;
    QTimer Retry; // runs while the picked port is away

    std::function<QDateTime()> m_clock;
    int m_openPort = -1;
    QString m_zeroText = QStringLiteral("0");
    QString m_pressureText;
    QString m_recordPressure;
    QLocale m_locale = QLocale::system();
    QString m_streamText;
    bool m_retryAfterHangUp = false;
    bool m_notComputableSaid = false; // said for the current run of such lines
};
