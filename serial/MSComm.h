#pragma once
// MSComm: the serial port control that carries the primary instrument link.
//
// Properties follow the control the window was designed around: CommPort (preset 11),
// Settings ("9600,n,8,1"), PortOpen, Input, CommEvent, Handshaking and Break, and the OnComm
// signal, raised on the window's thread one event at a time.
//
// A failed operation returns false with a reason and leaves the port state as it was.
// A hang-up (device unplugged, pty master closed) closes the port once and is reported once,
// through hungUp(); there is no error storm and no busy loop afterwards.
//
// An open port is held as serial/TtyDevice.h describes (exclusive flag, flock, UUCP lock
// file); a port another program has open, with or without a lock, is refused as held.
#include "serial/TtyDevice.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace serial {

class MSComm : public QObject {
    Q_OBJECT
public:
    // CommEvent codes.
    enum : qint16 {
        comEvReceive = 2,
        comEvEOF = 7,
        comEventBreak = 1001,
        comEventFrame = 1004,
        comEventOverrun = 1006,
        comEventRxOver = 1008,
        comEventRxParity = 1009,
        comEventTxFull = 1010,
        comEventDCB = 1011,
    };

    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    qint16 CommPort() const { return m_commPort; }
    // Refused (false) while the port is open or for numbers below 1.
    bool setCommPort(qint16 port, QString *error = nullptr);

    QString Settings() const { return QStringLiteral("9600,n,8,1"); }

    bool PortOpen() const { return m_port.isOpen(); }
    // true: open the port CommPort names; false: close it. Returns false with a reason
    // (and errno-style *errorCode when given) when the port cannot be opened.
    bool setPortOpen(bool open, QString *error = nullptr, int *errorCode = nullptr);

    // Returns and removes every received character not yet read (Windows-1252 text).
    QString Input();
    // The same, as raw bytes.
    QByteArray InputBytes();

    qint16 CommEvent() const { return m_commEvent; }

    int Handshaking() const { return m_handshaking; }
    void setHandshaking(int mode) { m_handshaking = mode; }
    bool Break() const { return m_break; }
    void setBreak(bool on) { m_break = on; }

    // The device path in use (or last used).
    QString devicePath() const { return m_devicePath; }

    // Test seam: a line error as the driver's counters report it (a pseudo-terminal counts
    // none).
    void reportLineErrorForTest(qint16 event) { raise(event); }

signals:
    void OnComm();
    // The device went away: the port has been closed. Emitted once per hang-up.
    void hungUp(const QString &reason);

private:
    void onReadable();
    void raise(qint16 event);
    void closeNow();
    void checkLineErrors(quint64 generation);

    ExclusivePort m_port;
    qint16 m_commPort = 11;
    qint16 m_commEvent = 0;
    int m_handshaking = 0;
    bool m_break = false;
    QString m_devicePath;
    QByteArray m_received;
    QSocketNotifier *m_notifier = nullptr;
    LineErrorCounters m_lineErrors; // none on a pty
    quint64 m_generation = 0;       // bumped on every open and close
    int m_emptyWakeups = 0;         // readable activations in a row that brought nothing
};

} // namespace serial
