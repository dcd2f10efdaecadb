#include "app/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

ServiceNotifier::ServiceNotifier(QObject *parent) : QObject(parent)
{
    m_active = !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET");
    if (!m_active) return;
    m_gap.setSingleShot(true);
    m_gap.setTimerType(Qt::PreciseTimer); // never early: one line a second at most
    m_gap.setInterval(StatusGapMs);
    connect(&m_gap, &QTimer::timeout, this, [this] {
        if (m_changed) sendStatus();
    });
    // The pings come from this thread's event loop: when the loop stalls, they stop.
    // Each ping starts the interval anew, so a loop back from a stall sends one ping, not a
    // catch-up burst of them.
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        send("WATCHDOG=1");
        m_watchdog.start();
    });
}

void ServiceNotifier::send(const QByteArray &state)
{
    // A service manager that went away is not this program's failure: the result is ignored.
    sd_notify(0, state.constData());
}

void ServiceNotifier::ready()
{
    if (!m_active || m_ready) return;
    m_ready = true;
    m_changed = false;
    m_sent = m_source ? m_source() : QString();
    send("READY=1\nSTATUS=" + m_sent.toUtf8());
    m_gap.start();
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        m_watchdog.setTimerType(Qt::PreciseTimer);
        m_watchdog.setInterval(int(qBound<uint64_t>(1, usec / 2000, 24 * 3600 * 1000)));
        m_watchdog.start();
        send("WATCHDOG=1");
    }
}

void ServiceNotifier::statusMayHaveChanged()
{
    if (!m_active || !m_ready) return;
    m_changed = true;
    if (!m_gap.isActive()) sendStatus();
}

void ServiceNotifier::sendStatus()
{
    m_changed = false;
    // One line: a break would end the status early and start a bogus assignment.
    QString line = m_source ? m_source() : QString();
    line.replace(u'\n', u' ');
    if (line == m_sent) return; // the gap rests until the next change
    m_sent = line;
    send("STATUS=" + m_sent.toUtf8());
    m_gap.start();
}

void ServiceNotifier::stopping()
{
    if (!m_active) return;
    m_watchdog.stop();
    m_gap.stop();
    send("STOPPING=1");
}
