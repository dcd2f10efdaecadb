#include "publish/Publisher.h"

#include "primary/PrimaryLink.h"
#include "publish/Payloads.h"
#include "secondary/SecondaryLink.h"

#include <QMetaObject>
#include <QPointer>
#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unordered_set>

namespace publish {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Message {
    QByteArray topic;
    QByteArray payload;
    int qos = 1;
};

// libmosquitto is set up once for the process and never torn down: a thread left in a name
// lookup at exit may still use it.
void initLibrary()
{
    static const bool done = (mosquitto_lib_init(), true);
    Q_UNUSED(done);
}

constexpr int LoopMs = 250; // how long the thread waits for the socket before it looks at stop
// While messages come, the thread hands them to the library in batches, one wake-up every
// BatchMs whatever the rate: the window thread only queues them and never wakes this thread.
constexpr int BatchMs = 100;
constexpr int Window = 100; // QoS 1 messages handed to the library and not yet acknowledged

} // namespace

struct Publisher::Shared {
    Settings settings;
    QByteArray clientId, statusTopic, host, user, password, caFile;
    mosquitto *mosq = nullptr;

    std::mutex mutex;
    std::condition_variable cv;
    // Guarded by mutex:
    QPointer<Publisher> owner; // null once the owner has stopped
    std::deque<Message> waiting;
    std::unordered_set<int> handed;
    bool connected = false;
    bool stopRequested = false;
    bool threadDone = false;
    bool queueFullSaid = false;
    bool statusPosted = false; // a refresh of the status text is on its way to the owner
    quint64 dropped = 0;
    quint64 queued = 0; // messages ever queued; the loop thread notices new ones by it
    int offlineMid = -1;
    bool offlineAcked = false;
    // The loop thread's own:
    QString attemptReason; // why the current try failed, as a callback learnt it
    QString libraryError;  // the library's last error line (TLS details)
    bool attemptConnected = false;
    std::thread::id loopThread;
    Clock::time_point connectedAt;
    bool ackSinceConnect = false; // guarded by mutex

    // Hands waiting messages to the library while connected; mutex held.
    void pump()
    {
        while (connected && !waiting.empty() && handed.size() < size_t(Window)) {
            const Message &m = waiting.front();
            int mid = 0;
            const int rc = mosquitto_publish(mosq, &mid, m.topic.constData(), int(m.payload.size()),
                                             m.payload.constData(), m.qos, false);
            if (rc != MOSQ_ERR_SUCCESS) break;
            if (m.qos > 0) handed.insert(mid);
            waiting.pop_front();
        }
    }

    // As pump, but after a reconnection not before the library's resent messages are
    // acknowledged: the queue follows them, so the order holds. Mutex held.
    void pumpWhenReady()
    {
        if (handed.empty() || ackSinceConnect) pump();
    }

    // Messages that wait for the broker, not merely for the next batch; mutex held.
    size_t backlog() const
    {
        return connected && handed.size() < size_t(Window) ? 0 : waiting.size();
    }

    // Runs `f` on the owner's thread, if the owner is still there; mutex held.
    template <typename F> void post(F f)
    {
        if (Publisher *p = owner.data())
            QMetaObject::invokeMethod(p, std::move(f), Qt::QueuedConnection);
    }

    QString describe(int rc, int err) const
    {
        const QString where = QStringLiteral("%1:%2").arg(settings.host).arg(settings.port);
        switch (rc) {
        case MOSQ_ERR_TLS:
        case MOSQ_ERR_TLS_HANDSHAKE:
            return QStringLiteral("TLS failure: the broker's certificate is not trusted (check "
                                  "--mqtt-ca) or the handshake failed") +
                   (libraryError.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(libraryError));
        case MOSQ_ERR_EAI:
            return QStringLiteral("refused: the host name %1 cannot be resolved")
                .arg(settings.host);
        case MOSQ_ERR_CONN_LOST:
            return QStringLiteral("closed: the broker closed the connection");
        case MOSQ_ERR_KEEPALIVE:
            return QStringLiteral("closed: the broker at %1 does not answer").arg(where);
        case MOSQ_ERR_ERRNO:
            if (err == ECONNREFUSED)
                return QStringLiteral("refused: nothing listens at %1").arg(where);
            if (err == EPROTO) return describe(MOSQ_ERR_TLS, 0);
            return QStringLiteral("closed: %1").arg(QString::fromLocal8Bit(std::strerror(err)));
        default:
            return QStringLiteral("closed: %1").arg(QString::fromUtf8(mosquitto_strerror(rc)));
        }
    }

    static void onConnect(mosquitto *, void *obj, int rc)
    {
        auto *s = static_cast<Shared *>(obj);
        if (rc != 0) {
            s->attemptReason =
                rc == 4   ? QStringLiteral("not authorised: the broker does not accept the user "
                                             "name or password")
                : rc == 5 ? QStringLiteral("not authorised")
                          : QStringLiteral("refused by the broker: %1")
                                .arg(QString::fromUtf8(mosquitto_connack_string(rc)));
            return;
        }
        // The library formats every line it logs for a log callback, a cost for each message;
        // the callback is there for the reasons of failed connections only.
        mosquitto_log_callback_set(s->mosq, nullptr);
        int mid = 0;
        mosquitto_publish(s->mosq, &mid, s->statusTopic.constData(), 6, "online", 1, true);
        std::lock_guard lock(s->mutex);
        s->connected = true;
        s->attemptConnected = true;
        s->connectedAt = Clock::now();
        s->ackSinceConnect = false;
        const quint64 dropped = std::exchange(s->dropped, 0);
        s->queueFullSaid = false;
        // Messages the library holds from before the loss go out again first, right after this
        // call; the queue follows with their first acknowledgement, so the order holds.
        if (s->handed.empty()) s->pump();
        s->post([p = s->owner, dropped] {
            if (p) p->onConnected(dropped);
        });
    }

    static void onDisconnect(mosquitto *, void *obj, int rc)
    {
        auto *s = static_cast<Shared *>(obj);
        const int err = errno;
        mosquitto_log_callback_set(s->mosq, &Shared::onLog);
        if (rc != 0 && s->attemptReason.isEmpty()) s->attemptReason = s->describe(rc, err);
        std::lock_guard lock(s->mutex);
        s->connected = false;
    }

    static void onPublish(mosquitto *, void *obj, int mid)
    {
        auto *s = static_cast<Shared *>(obj);
        std::lock_guard lock(s->mutex);
        if (mid == s->offlineMid) s->offlineAcked = true;
        s->ackSinceConnect = true;
        // Asked before the ack frees its place: a backlog counts only while the library's
        // window is full, and each ack frees one place that the pump below fills again.
        const bool draining = s->backlog() > 0;
        s->handed.erase(mid);
        s->pump();
        s->cv.notify_all();
        // The count of waiting messages shrinks as the queue drains: a few refreshes a second.
        if (draining && !s->statusPosted) {
            s->statusPosted = true;
            s->post([p = s->owner] {
                if (p && !p->m_statusTimer.isActive()) p->m_statusTimer.start();
            });
        }
    }

    static void onLog(mosquitto *, void *obj, int level, const char *text)
    {
        if (level == MOSQ_LOG_ERR)
            static_cast<Shared *>(obj)->libraryError = QString::fromUtf8(text);
    }

    // Runs the library's loop until `done` holds or `deadline` passes or the connection ends.
    template <typename Done> void loopUntil(Clock::time_point deadline, Done done)
    {
        while (Clock::now() < deadline) {
            {
                std::lock_guard lock(mutex);
                if (connected) pumpWhenReady();
                if (done()) return;
            }
            if (mosquitto_loop(mosq, 50, 1) != MOSQ_ERR_SUCCESS) return;
        }
    }

    // The clean exit on this thread: what waits goes out, then "offline", then a disconnect.
    void finish(Clock::time_point stopAt)
    {
        bool up = false;
        {
            std::lock_guard lock(mutex);
            up = connected;
        }
        if (up) {
            loopUntil(stopAt + milliseconds(800),
                      [this] { return waiting.empty() && handed.empty(); });
            {
                std::lock_guard lock(mutex);
                if (connected)
                    mosquitto_publish(mosq, &offlineMid, statusTopic.constData(), 7, "offline", 1,
                                      true);
            }
            loopUntil(stopAt + milliseconds(1300), [this] { return offlineAcked || !connected; });
        }
        mosquitto_disconnect(mosq);
        loopUntil(stopAt + milliseconds(1500), [] { return false; });
    }

    void run()
    {
        pthread_setname_np(pthread_self(), "np-publish"); // as ps and the benchmarks see it
        loopThread = std::this_thread::get_id();
        int retry = MinRetrySeconds;
        bool first = true;
        Clock::time_point stopAt;
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (stopRequested) break;
            }
            attemptReason.clear();
            libraryError.clear();
            attemptConnected = false;
            int rc = first ? mosquitto_connect_async(mosq, host.constData(), settings.port,
                                                     settings.keepAliveSeconds)
                           : mosquitto_reconnect_async(mosq);
            int err = errno;
            first = false;
            bool stopping = false;
            if (rc == MOSQ_ERR_SUCCESS) {
                quint64 seen = 0;
                bool active = false;
                for (;;) {
                    rc = mosquitto_loop(mosq, active ? BatchMs : LoopMs, 1);
                    err = errno;
                    if (rc != MOSQ_ERR_SUCCESS) break;
                    std::lock_guard lock(mutex);
                    // The batch: what was queued since the last turn goes to the library now.
                    if (connected) pumpWhenReady();
                    active = connected && (queued != seen || !waiting.empty());
                    seen = queued;
                    if (stopRequested) {
                        stopping = true;
                        break;
                    }
                    // The library should send again what it held from before a loss; should it
                    // not, the queue does not wait for those acknowledgements for ever.
                    if (connected && !ackSinceConnect && !handed.empty() &&
                        Clock::now() - connectedAt > std::chrono::seconds(5)) {
                        handed.clear();
                        ackSinceConnect = true;
                        pump();
                    }
                }
            }
            if (stopping) {
                stopAt = Clock::now();
                finish(stopAt);
                break;
            }
            if (attemptReason.isEmpty()) attemptReason = describe(rc, err);
            std::unique_lock lock(mutex);
            connected = false;
            if (attemptConnected) retry = MinRetrySeconds;
            post([p = owner, reason = attemptReason, was = attemptConnected] {
                if (p) p->onFailed(reason, was);
            });
            cv.wait_for(lock, std::chrono::seconds(retry), [this] { return stopRequested; });
            retry = std::min(retry * 2, int(MaxRetrySeconds));
        }
        std::lock_guard lock(mutex);
        threadDone = true;
        cv.notify_all();
    }
};

Publisher::Publisher(const Settings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_shared(std::make_shared<Shared>())
{
    initLibrary();
    Shared &s = *m_shared;
    s.settings = settings;
    s.owner = this;
    s.clientId = "narwickpanel-" + settings.station.toUtf8();
    s.statusTopic = statusTopic(settings.station);
    s.host = settings.host.toUtf8();
    s.mosq = mosquitto_new(s.clientId.constData(), false, &s);
    mosquitto_threaded_set(s.mosq, true);
    mosquitto_int_option(s.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(s.mosq, Window + 2);
    mosquitto_connect_callback_set(s.mosq, &Shared::onConnect);
    mosquitto_disconnect_callback_set(s.mosq, &Shared::onDisconnect);
    mosquitto_publish_callback_set(s.mosq, &Shared::onPublish);
    mosquitto_log_callback_set(s.mosq, &Shared::onLog);
    mosquitto_will_set(s.mosq, s.statusTopic.constData(), 7, "offline", 1, true);
    if (!settings.user.isEmpty()) {
        s.user = settings.user.toUtf8();
        s.password = settings.password.toUtf8();
        mosquitto_username_pw_set(s.mosq, s.user.constData(),
                                  settings.password.isEmpty() ? nullptr : s.password.constData());
    }
    if (settings.tls) {
        s.caFile = settings.caFile.toLocal8Bit();
        if (s.caFile.isEmpty()) {
            mosquitto_int_option(s.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            if (mosquitto_tls_set(s.mosq, nullptr, nullptr, nullptr, nullptr, nullptr) !=
                MOSQ_ERR_SUCCESS)
                mosquitto_tls_set(s.mosq, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
        } else {
            mosquitto_tls_set(s.mosq, s.caFile.constData(), nullptr, nullptr, nullptr, nullptr);
        }
    }

    m_statusTimer.setSingleShot(true);
    m_statusTimer.setInterval(500);
    connect(&m_statusTimer, &QTimer::timeout, this, &Publisher::refreshStatus);
    m_status = statusText();
}

Publisher::~Publisher()
{
    stop();
}

void Publisher::start()
{
    if (m_started) return;
    m_started = true;
    emit messageLogged(QStringLiteral("MQTT: connecting to %1 as station \"%2\"")
                           .arg(m_settings.url, m_settings.station));
    std::thread([s = m_shared] { s->run(); }).detach();
}

void Publisher::stop()
{
    if (m_stopped) return;
    m_stopped = true;
    const std::shared_ptr<Shared> s = m_shared;
    std::unique_lock lock(s->mutex);
    s->owner = nullptr;
    if (!m_started) {
        lock.unlock();
        mosquitto_destroy(s->mosq);
        return;
    }
    s->stopRequested = true;
    s->cv.notify_all();
    const bool done = s->cv.wait_for(lock, milliseconds(ShutdownMs), [&] { return s->threadDone; });
    // A thread still in a name lookup or a connect keeps the shared state alive and is left
    // to the end of the process; the library is never torn down under it.
    if (done) {
        lock.unlock();
        mosquitto_destroy(s->mosq);
        s->mosq = nullptr;
    }
}

bool Publisher::isConnected() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->connected;
}

qsizetype Publisher::waiting() const
{
    std::lock_guard lock(m_shared->mutex);
    return qsizetype(m_shared->waiting.size() + m_shared->handed.size());
}

QString Publisher::statusText() const
{
    std::lock_guard lock(m_shared->mutex);
    const size_t queued = m_shared->backlog();
    if (queued > 0) return QStringLiteral("MQTT: %1 waiting").arg(queued);
    return m_shared->connected ? QStringLiteral("MQTT: connected")
                               : QStringLiteral("MQTT: connecting…");
}

QString Publisher::toolTip() const
{
    return QStringLiteral("Broker %1, station \"%2\"").arg(m_settings.url, m_settings.station);
}

void Publisher::refreshStatus()
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->statusPosted = false;
    }
    const QString text = statusText();
    if (text == m_status) return;
    m_status = text;
    emit statusChanged(text);
}

void Publisher::onConnected(quint64 dropped)
{
    m_lastReason.clear();
    m_afterLoss = false;
    emit messageLogged(m_everConnected
                           ? QStringLiteral("MQTT: connection to %1 is back").arg(m_settings.url)
                           : QStringLiteral("MQTT: connected to %1").arg(m_settings.url));
    m_everConnected = true;
    if (dropped > 0)
        emit messageLogged(QStringLiteral("MQTT: %1 messages were dropped while the broker was "
                                          "away (the queue holds %2)")
                               .arg(dropped)
                               .arg(m_settings.queueCapacity));
    refreshStatus();
}

void Publisher::onFailed(const QString &reason, bool wasConnected)
{
    if (wasConnected) {
        emit messageLogged(QStringLiteral("MQTT: connection to %1 lost (%2); messages wait and "
                                          "the connection is tried again")
                               .arg(m_settings.url, reason));
        m_lastReason = reason;
        m_afterLoss = true;
    } else if (reason != m_lastReason) {
        // After a loss, a broker that is still away says nothing new; a refusal that needs the
        // operator (not authorised, TLS) is said.
        const bool stillAway = m_afterLoss && (reason.startsWith(QLatin1String("refused:")) ||
                                               reason.startsWith(QLatin1String("closed:")));
        if (!stillAway) {
            emit messageLogged(QStringLiteral("MQTT: cannot connect to %1 (%2); tried again "
                                              "after %3 s to %4 s")
                                   .arg(m_settings.url, reason)
                                   .arg(MinRetrySeconds)
                                   .arg(MaxRetrySeconds));
            m_lastReason = reason;
        }
    }
    refreshStatus();
}

void Publisher::onQueueFull()
{
    emit messageLogged(QStringLiteral("MQTT: the queue is full (%1 messages): the oldest are "
                                      "dropped until the broker is back")
                           .arg(m_settings.queueCapacity));
}

void Publisher::enqueue(QByteArray topic, QByteArray payload, int qos)
{
    if (m_stopped) return;
    Shared &s = *m_shared;
    bool full = false;
    bool backlog = false;
    {
        std::lock_guard lock(s.mutex);
        while (!s.waiting.empty() &&
               s.waiting.size() + s.handed.size() >= size_t(m_settings.queueCapacity)) {
            s.waiting.pop_front();
            ++s.dropped;
            if (!s.queueFullSaid) full = s.queueFullSaid = true;
        }
        s.waiting.push_back(Message{std::move(topic), std::move(payload), qos});
        ++s.queued;
        backlog = s.backlog() > 0;
    }
    if (full) onQueueFull();
    // Connected with no backlog, the panel's text stays as it is: no timer runs.
    if (backlog && !m_statusTimer.isActive()) m_statusTimer.start();
}

void Publisher::publishReading(const primary::Reading &reading)
{
    enqueue(readingTopic(m_settings.station, reading.sensorId.value_or(QString())),
            readingPayload(reading, m_pressure), 1);
}

void Publisher::publishPressure(const secondary::Pressure &pressure)
{
    m_pressure = pressure.value;
    enqueue(pressureTopic(m_settings.station), pressurePayload(pressure), 0);
}

void connectLinks(Publisher &publisher, PrimaryLink *primary, SecondaryLink *secondary)
{
    if (primary)
        QObject::connect(primary, &PrimaryLink::readingParsed, &publisher,
                         &Publisher::publishReading);
    if (secondary)
        QObject::connect(secondary, &SecondaryLink::pressureMeasured, &publisher,
                         &Publisher::publishPressure);
}

} // namespace publish
