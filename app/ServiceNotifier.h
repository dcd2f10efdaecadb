#pragma once
// The service manager's side of a headless run: when the program was started by systemd with
// Type=notify (NOTIFY_SOCKET set), it says when it is ready, what it is doing (one status
// line, at most once a second), that it is alive (from the event loop, at half the watchdog's
// interval, so a stalled loop gets it restarted), and that it is stopping. Without
// NOTIFY_SOCKET nothing is sent and no timer runs.
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class ServiceNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr int StatusGapMs = 1000; // at most one status line a second

    explicit ServiceNotifier(QObject *parent = nullptr);

    // True when a service manager listens (NOTIFY_SOCKET is set).
    bool active() const { return m_active; }
    // The pace of the watchdog's pings in ms, or 0 when the service manager watches nothing.
    int watchdogIntervalMs() const { return m_watchdog.isActive() ? m_watchdog.interval() : 0; }

    // What the status line says now; asked at most once a second.
    void setStatusSource(std::function<QString()> source) { m_source = std::move(source); }
    // READY=1 with the status line; the watchdog's pings start.
    void ready();
    // The status line may have changed. It is sent when it differs from the one last sent: at
    // once, or, when one was sent less than a second ago, when that second is over (the newest
    // line then). Cheap enough to call for every reading.
    void statusMayHaveChanged();
    // STOPPING=1; the pings end.
    void stopping();

private:
    void send(const QByteArray &state);
    void sendStatus();

    bool m_active = false;
    bool m_ready = false;
    bool m_changed = false; // since the last line was sent
    std::function<QString()> m_source;
    QString m_sent;
    QTimer m_watchdog;
    QTimer m_gap; // runs for a second after each status line
};
