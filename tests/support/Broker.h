#pragma once
// A private mosquitto broker for the tests: 127.0.0.1, a free port, a generated configuration
// in a temporary folder, persistence on. Never the system's service. And a real subscriber
// through libmosquitto that records what it receives.
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <mosquitto.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call.
inline int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
    ::close(fd);
    return ntohs(a.sin_port);
}

class Broker {
public:
    // `extra` is added to the listener's configuration (password_file, certfile, …).
    explicit Broker(const QString &extra = {}) : m_extra(extra), port(freePort()) {}
    ~Broker() { stop(); }

    QString path(const QString &name) const { return m_dir.filePath(name); }

    // Starts the broker and waits until it says it runs.
    bool start()
    {
        QFile conf(path(QStringLiteral("mosquitto.conf")));
        if (!conf.open(QIODevice::WriteOnly)) return false;
        conf.write(QStringLiteral("listener %1 127.0.0.1\n"
                                  "persistence true\n"
                                  "persistence_location %2/\n"
                                  "log_dest stderr\n"
                                  "log_type all\n"
                                  "max_queued_messages 0\n"
                                  "%3%4\n")
                       .arg(port)
                       .arg(m_dir.path(),
                            m_extra.contains(QLatin1String("password_file"))
                                ? m_extra
                                : QStringLiteral("allow_anonymous true\n") + m_extra,
                            // As root the broker would switch to its own user, who cannot
                            // write to the test's folder.
                            ::geteuid() == 0 ? QStringLiteral("user root\n") : QString())
                       .toUtf8());
        conf.close();
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { log += QString::fromUtf8(m_process.readAllStandardError()); });
        // Debian installs the broker in /usr/sbin, which an ordinary user's PATH may lack.
        QString program = QStandardPaths::findExecutable(QStringLiteral("mosquitto"));
        if (program.isEmpty()) program = QStringLiteral("/usr/sbin/mosquitto");
        m_process.start(program, {QStringLiteral("-c"), conf.fileName()});
        if (!m_process.waitForStarted()) return false;
        return QTest::qWaitFor([this] { return log.contains(QLatin1String(" running")); }, 20000);
    }

    // A clean stop: the broker saves its persistence file.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning) return;
        m_process.terminate();
        m_process.waitForFinished(10000);
        log += QString::fromUtf8(m_process.readAllStandardError());
        m_process.close();
        QObject::disconnect(&m_process, nullptr, nullptr, nullptr);
    }

    QString log;

private:
    QTemporaryDir m_dir;
    QString m_extra;
    QProcess m_process;

public:
    const int port;
};

// A subscriber to narwickpanel/# with QoS 1; with an id its session is persistent.
class Subscriber {
public:
    struct Received {
        QByteArray topic, payload;
        bool retained = false;
    };

    Subscriber(int port, const QByteArray &id = {}, const QByteArray &filter = "narwickpanel/#")
        : m_filter(filter)
    {
        mosquitto_lib_init();
        m_mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), id.isEmpty(), this);
        mosquitto_connect_callback_set(m_mosq, [](mosquitto *m, void *obj, int rc) {
            auto *self = static_cast<Subscriber *>(obj);
            if (rc == 0) mosquitto_subscribe(m, nullptr, self->m_filter.constData(), 1);
        });
        mosquitto_subscribe_callback_set(m_mosq, [](mosquitto *, void *obj, int, int, const int *) {
            auto *self = static_cast<Subscriber *>(obj);
            QMutexLocker lock(&self->m_mutex);
            self->m_subscribed = true;
        });
        mosquitto_message_callback_set(
            m_mosq, [](mosquitto *, void *obj, const mosquitto_message *m) {
                auto *self = static_cast<Subscriber *>(obj);
                QMutexLocker lock(&self->m_mutex);
                self->m_received.append(
                    {QByteArray(m->topic),
                     QByteArray(static_cast<const char *>(m->payload), m->payloadlen), m->retain});
            });
        mosquitto_connect_async(m_mosq, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_mosq);
    }
    ~Subscriber()
    {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    bool waitSubscribed()
    {
        return QTest::qWaitFor([this] {
            QMutexLocker lock(&m_mutex);
            return m_subscribed;
        });
    }
    QList<Received> received()
    {
        QMutexLocker lock(&m_mutex);
        return m_received;
    }
    // The payloads received on topics that start with `prefix`.
    QList<QByteArray> payloads(const QByteArray &prefix)
    {
        QList<QByteArray> out;
        for (const Received &r : received())
            if (r.topic.startsWith(prefix)) out.append(r.payload);
        return out;
    }

private:
    QByteArray m_filter;
    mosquitto *m_mosq = nullptr;
    QMutex m_mutex;
    bool m_subscribed = false;
    QList<Received> m_received;
};

} // namespace testsupport
