#pragma once
// The publisher: every reading and every new pressure as a message to an MQTT broker.
//
// All network work (name lookup, connect, TLS handshake, reads and writes) runs on the
// publisher's own thread through libmosquitto; the window thread only puts a message into a
// bounded queue and never wakes that thread: while messages come, it hands what was queued to
// the library in batches, one wake-up a tenth of a second whatever the rate. Readings go with QoS 1
// in a persistent session; while the broker is away the messages wait in order (at most
// Settings::queueCapacity, the oldest dropped first) and go out first when it is back. The
// connection is tried again after 1 s, doubling up to 30 s. The status topic holds a retained
// "online" while connected, and "offline" after a clean exit or, as the broker's last will, after a
// lost connection.
#include "primary/Reading.h"
#include "publish/Settings.h"
#include "secondary/Pressure.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>

class PrimaryLink;
class SecondaryLink;

namespace publish {

class Publisher : public QObject {
    Q_OBJECT
public:
    // The whole clean exit (queue, "offline", disconnect) takes at most this long.
    static constexpr int ShutdownMs = 1800;
    static constexpr int MinRetrySeconds = 1;
    static constexpr int MaxRetrySeconds = 30;

    explicit Publisher(const Settings &settings, QObject *parent = nullptr);
    ~Publisher() override; // stops as stop() does

    // Starts the connection; the first try happens on the publisher's thread.
    void start();
    // A clean exit: what waits goes out for a short while, then "offline" and a disconnect.
    // Returns within ShutdownMs, whatever the broker does.
    void stop();

    void publishReading(const primary::Reading &reading);
    // Publishes the pressure and keeps it for the readings that follow.
    void publishPressure(const secondary::Pressure &pressure);

    const Settings &settings() const { return m_settings; }
    bool isConnected() const;
    qsizetype waiting() const; // messages in the queue, handed to the library or not
    // "MQTT: connected", "MQTT: connecting…" or "MQTT: n waiting" (n: the messages that wait
    // for the broker, not those that only wait for the next batch).
    QString statusText() const;
    QString toolTip() const;

signals:
    // A message of the publisher's own for the log: each change of the connection once.
    void messageLogged(const QString &text);
    void statusChanged(const QString &text);

public:
    struct Shared; // the state the window thread shares with the publisher's thread

private:
    void onConnected(quint64 dropped);
    void onFailed(const QString &reason, bool wasConnected);
    void onQueueFull();
    void refreshStatus();
    void enqueue(QByteArray topic, QByteArray payload, int qos);

    Settings m_settings;
    std::shared_ptr<Shared> m_shared;
    std::optional<double> m_pressure; // the latest pressure, for the readings' "pressure"
    QTimer m_statusTimer;             // the waiting count is shown a few times a second
    QString m_status;
    QString m_lastReason;
    bool m_everConnected = false;
    bool m_afterLoss = false; // lost since the last connection
    bool m_started = false;
    bool m_stopped = false;
};

// Wires the links' typed values to the publisher: every parsed reading and every new pressure.
void connectLinks(Publisher &publisher, PrimaryLink *primary, SecondaryLink *secondary);

} // namespace publish
