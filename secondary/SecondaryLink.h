#pragma once
// The secondary pressure link: the library port scan, the port pick, the 125 ms polling drain,
// SmallStream and the zero button. Its handlers carry the names of the window's events.
#include "app/Controls.h"
#include "serial/LineAssembler.h"

#include <QObject>
#include <QString>
#include <functional>

class SecondaryLink : public QObject {
    Q_OBJECT
public:
    explicit SecondaryLink(Controls &controls, QObject *parent = nullptr);
    ~SecondaryLink() override;

    // Connects the controls' events to the handlers below.
    void wire();

    void ScanSecondaryPorts();
    void Command3_Click();
    void cboStepperPort_Click();
    void Timer2_Timer();
    void GetIncoming();
    void SmallStream(QString &Message);
    void cmdZero_Click();

    // Window variables of the link.
    qint16 SecondaryPort = 0;
    bool SecondaryOpen = false;
    serial::LineAssembler PollBuffer;
    QString RawPressure;

    // The library port really open now, or -1. Port 0 (COM1) is a port like any other.
    int openPort() const { return m_openPort; }

    // How "Reset Error" and "Parms Error" are shown; tests replace it.
    std::function<void(const QString &text)> showMessage;

private:
    void closeOpenPort();
    void appendLog(const QString &text);

    Controls &c;
    int m_openPort = -1;
};
