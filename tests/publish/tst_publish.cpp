// The publisher against a private mosquitto: topics and payloads, order and completeness,
// the queue while the broker is away, users and passwords, TLS; and the command line's
// broker options.
#include "publish/Payloads.h"
#include "publish/Publisher.h"
#include "publish/Settings.h"
#include "tests/support/Broker.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>

using namespace publish;
using testsupport::Broker;
using testsupport::Subscriber;

namespace {

primary::Reading reading(quint64 seq, const QString &sensor = QStringLiteral("S100"))
{
    primary::Reading r;
    r.time = QDateTime(QDate(2026, 12, 8), QTime(9, 15, 2, 125));
    r.count = qint16(seq);
    r.seq = seq;
    r.sensorId = sensor;
    r.sensorType = QStringLiteral("TC4");
    r.typeNumber = 2;
    r.channelCount = 2;
    r.channels = {{QStringLiteral("21.5"), QStringLiteral("C"), 21.5},
                  {QStringLiteral("21.7"), QStringLiteral("C"), 21.7}};
    return r;
}

Settings settingsFor(int port, const QString &station = QStringLiteral("bench1"))
{
    Settings s;
    s.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
    s.host = QStringLiteral("127.0.0.1");
    s.port = port;
    s.station = station;
    return s;
}

// Sets up a persistent session for `id` on the broker, then leaves: what is published while it
// is away waits for it at the broker.
void persistentSession(const Broker &broker, const QByteArray &id)
{
    Subscriber sub(broker.port, id);
    QVERIFY(sub.waitSubscribed());
}

QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.waitForFinished(60000);
    return QString::fromLocal8Bit(p.readAll());
}

} // namespace

class TestPublish : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("TZ", "CET-1");
        tzset();
    }

    void payloads()
    {
        // The example, with the running number beside the count.
        primary::Reading r = reading(42);
        QCOMPARE(readingPayload(r, 14.7),
                 QByteArray("{\"time\":\"2026-12-08T09:15:02.125+01:00\",\"count\":42,\"seq\":42,"
                            "\"sensor\":\"S100\",\"type\":\"TC4\",\"typeNumber\":2,\"channels\":["
                            "{\"text\":\"21.5\",\"unit\":\"C\",\"value\":21.5},"
                            "{\"text\":\"21.7\",\"unit\":\"C\",\"value\":21.7}],"
                            "\"pressure\":14.7,\"pressureUnit\":\"psi\"}"));
        // No pressure, no number, no type; text kept exactly, escaped for JSON; a count stopped
        // at 32767 while seq runs on.
        r.count = 32767;
        r.seq = 5000000000ULL;
        r.sensorType.reset();
        r.channels = {
            {QStringLiteral(" \"x\\\t"), QStringLiteral("°C "), std::nullopt},
            {QStringLiteral("-0"), QString(), -0.0},
            {QStringLiteral("1e400"), QString(), std::numeric_limits<double>::infinity()}};
        QCOMPARE(readingPayload(r, std::nullopt),
                 QByteArray("{\"time\":\"2026-12-08T09:15:02.125+01:00\",\"count\":32767,"
                            "\"seq\":5000000000,\"sensor\":\"S100\",\"type\":null,"
                            "\"typeNumber\":2,\"channels\":[{\"text\":\" \\\"x\\\\\\u0009\","
                            "\"unit\":\"\xc2\xb0"
                            "C \",\"value\":null},{\"text\":\"-0\","
                            "\"unit\":\"\",\"value\":0},{\"text\":\"1e400\",\"unit\":\"\","
                            "\"value\":null}],\"pressure\":null,\"pressureUnit\":\"psi\"}"));
        // Summer time and a time given in UTC are both shown in local time with their offset.
        secondary::Pressure p{QDateTime(QDate(2026, 7, 1), QTime(0, 0), Qt::UTC), 0.1,
                              QStringLiteral("0.1"), QStringLiteral("0.1")};
        QCOMPARE(pressurePayload(p),
                 QByteArray("{\"time\":\"2026-07-01T01:00:00.000+01:00\",\"value\":0.1,"
                            "\"unit\":\"psi\"}"));
        p.value.reset();
        QVERIFY(pressurePayload(p).contains("\"value\":null,"));
    }

    void topics()
    {
        QCOMPARE(readingTopic(QStringLiteral("lab/2 #1"), QStringLiteral("S+1/%\x01\x7f"
                                                                         "é")),
                 QByteArray("narwickpanel/lab%2F2 %231/reading/S%2B1%2F%25%01%7F\xc3\xa9"));
        QCOMPARE(statusTopic(QStringLiteral("b")), QByteArray("narwickpanel/b/status"));
        QCOMPARE(pressureTopic(QStringLiteral("b")), QByteArray("narwickpanel/b/pressure"));
    }

    void commandLineOptions_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("error"); // a part of the message, or empty for success
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("default port") << "mqtt://broker.lab"
                                      << ""
                                      << "broker.lab" << 1883;
        QTest::newRow("tls default") << "mqtts://10.0.0.2"
                                     << ""
                                     << "10.0.0.2" << 8883;
        QTest::newRow("port") << "mqtt://h:65535/"
                              << ""
                              << "h" << 65535;
        QTest::newRow("ipv6") << "mqtt://[::1]:1884"
                              << ""
                              << "::1" << 1884;
        QTest::newRow("scheme") << "http://h"
                                << "unknown scheme 'http'"
                                << "" << 0;
        QTest::newRow("no scheme") << "h:1883"
                                   << "--mqtt needs"
                                   << "" << 0;
        QTest::newRow("port 0") << "mqtt://h:0"
                                << "1 to 65535"
                                << "" << 0;
        QTest::newRow("port high") << "mqtt://h:65536"
                                   << "1 to 65535"
                                   << "" << 0;
        QTest::newRow("port text") << "mqtt://h:x"
                                   << "1 to 65535"
                                   << "" << 0;
        QTest::newRow("empty port") << "mqtt://h:"
                                    << "--mqtt needs"
                                    << "" << 0;
        QTest::newRow("no host") << "mqtt://:1883"
                                 << "--mqtt needs"
                                 << "" << 0;
        QTest::newRow("path") << "mqtt://h/x"
                              << "--mqtt needs"
                              << "" << 0;
        QTest::newRow("password in url") << "mqtt://u:secret@h"
                                         << "no user or password"
                                         << "" << 0;
    }

    void commandLineOptions()
    {
        QFETCH(QString, url);
        QFETCH(QString, error);
        Arguments a;
        a.url = url;
        a.station = QStringLiteral("s");
        const Checked c = check(a, std::nullopt);
        QVERIFY2(c.error.contains(error), qPrintable(c.error));
        QCOMPARE(c.settings.has_value(), error.isEmpty());
        if (!c.settings) return;
        QTEST(c.settings->host, "host");
        QTEST(c.settings->port, "port");
    }

    void passwordsAndFiles()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("pw"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("s3cret pass\r\nsecond line\n");
        f.close();
        Arguments a;
        a.url = QStringLiteral("mqtts://h");
        a.user = QStringLiteral("u");
        // The environment's password, unless a file is named; its first line without the break.
        QCOMPARE(check(a, QStringLiteral("env")).settings->password, QStringLiteral("env"));
        a.passwordFile = file;
        QCOMPARE(check(a, QStringLiteral("env")).settings->password, QStringLiteral("s3cret pass"));
        QVERIFY(!check(a, {}).settings->station.isEmpty()); // the host name by default
        // Unreadable files, options without --mqtt, a password file without a user.
        a.passwordFile = dir.filePath(QStringLiteral("missing"));
        QVERIFY(check(a, {}).error.contains(QLatin1String("cannot read")));
        a.passwordFile.reset();
        a.caFile = dir.path() + QStringLiteral("/missing");
        QVERIFY(check(a, {}).error.contains(QLatin1String("--mqtt-ca: cannot read")));
        a.caFile = file;
        a.url = QStringLiteral("mqtt://h");
        QVERIFY(check(a, {}).error.contains(QLatin1String("needs an mqtts")));
        Arguments b;
        b.station = QStringLiteral("x");
        QVERIFY(check(b, {}).error.contains(QLatin1String("need --mqtt URL")));
        b = {};
        b.url = QStringLiteral("mqtt://h");
        b.passwordFile = file;
        QVERIFY(check(b, {}).error.contains(QLatin1String("needs --mqtt-user")));
        QVERIFY(!check(Arguments{}, {}).settings && check(Arguments{}, {}).error.isEmpty());
    }

    // Every message arrives once and in order; the status is "online" while connected and
    // "offline" after a clean stop, both retained.
    void everyMessageOnceInOrder()
    {
        Broker broker;
        QVERIFY(broker.start());
        Subscriber sub(broker.port);
        QVERIFY(sub.waitSubscribed());
        Publisher publisher(settingsFor(broker.port, QStringLiteral("a/b")));
        QSignalSpy logged(&publisher, &Publisher::messageLogged);
        publisher.start();
        QTRY_VERIFY(publisher.isConnected());
        QCOMPARE(publisher.statusText(), QStringLiteral("MQTT: connected"));
        secondary::Pressure p{QDateTime::currentDateTime(), 14.7, {}, {}};
        publisher.publishPressure(p);
        const int n = 2000;
        for (int i = 1; i <= n; ++i)
            publisher.publishReading(reading(quint64(i), QStringLiteral("S+%1").arg(i % 3)));
        QTRY_COMPARE_WITH_TIMEOUT(sub.payloads("narwickpanel/a%2Fb/reading/").size(), n, 30000);
        const QList<QByteArray> got = sub.payloads("narwickpanel/a%2Fb/reading/");
        for (int i = 0; i < n; ++i)
            QCOMPARE(got[i],
                     readingPayload(
                         reading(quint64(i + 1), QStringLiteral("S+%1").arg((i + 1) % 3)), 14.7));
        QCOMPARE(sub.payloads("narwickpanel/a%2Fb/pressure"), QList{pressurePayload(p)});
        QCOMPARE(sub.payloads("narwickpanel/a%2Fb/status"), QList<QByteArray>{"online"});
        QList<QByteArray> topics;
        for (const auto &m : sub.received())
            if (m.topic.contains("/reading/")) topics << m.topic;
        QCOMPARE(topics.first(), QByteArray("narwickpanel/a%2Fb/reading/S%2B1"));
        QCOMPARE(topics.last(), QByteArray("narwickpanel/a%2Fb/reading/S%2B2"));
        publisher.stop();
        QTRY_COMPARE(sub.payloads("narwickpanel/a%2Fb/status").size(), 2);
        QCOMPARE(sub.payloads("narwickpanel/a%2Fb/status").last(), QByteArray("offline"));
        QCOMPARE(logged.size(), 2); // connecting, connected
        QCOMPARE(logged[1][0].toString(),
                 QStringLiteral("MQTT: connected to mqtt://127.0.0.1:%1").arg(broker.port));
        // A later subscriber reads the retained status.
        Subscriber late(broker.port, {}, "narwickpanel/a%2Fb/status");
        QTRY_COMPARE(late.received().size(), 1);
        QVERIFY(late.received()[0].retained);
        QCOMPARE(late.received()[0].payload, QByteArray("offline"));
    }

    // Absent at start, the broker appears: the queue, bounded, keeps the newest in order and
    // drains them first; the drop and each change of the connection are said once.
    void brokerAbsentThenBack()
    {
        Broker broker;
        QVERIFY(broker.start());
        persistentSession(broker, "watcher");
        broker.stop();

        Settings s = settingsFor(broker.port);
        s.queueCapacity = 10;
        Publisher publisher(s);
        QSignalSpy logged(&publisher, &Publisher::messageLogged);
        QSignalSpy status(&publisher, &Publisher::statusChanged);
        publisher.start();
        QTRY_COMPARE(logged.size(), 2);
        QVERIFY2(logged[1][0].toString().contains(QLatin1String("refused: nothing listens")),
                 qPrintable(logged[1][0].toString()));
        for (int i = 1; i <= 25; ++i)
            publisher.publishReading(reading(quint64(i)));
        QCOMPARE(publisher.waiting(), 10);
        QTRY_COMPARE(publisher.statusText(), QStringLiteral("MQTT: 10 waiting"));
        QCOMPARE(logged.size(), 3);
        QVERIFY(logged[2][0].toString().contains(QLatin1String("queue is full")));

        QVERIFY(broker.start());
        QTRY_VERIFY_WITH_TIMEOUT(publisher.isConnected(), 40000);
        publisher.publishReading(reading(26));
        QTRY_COMPARE(publisher.waiting(), 0);
        // The panel's text follows the drain without another reading.
        QTRY_COMPARE(status.last()[0].toString(), QStringLiteral("MQTT: connected"));
        Subscriber sub(broker.port, "watcher");
        QTRY_COMPARE(sub.payloads("narwickpanel/bench1/reading/").size(), 11);
        const QList<QByteArray> got = sub.payloads("narwickpanel/bench1/reading/");
        for (int i = 0; i < 11; ++i)
            QCOMPARE(got[i], readingPayload(reading(quint64(16 + i)), std::nullopt));
        QStringList lines;
        for (const auto &l : logged)
            lines << l[0].toString();
        QCOMPARE(lines.filter(QStringLiteral("cannot connect")).size(), 1);
        QCOMPARE(lines.filter(QStringLiteral("15 messages were dropped")).size(), 1);
        QCOMPARE(lines.filter(QStringLiteral("MQTT: connected to")).size(), 1);
    }

    // A broker that requires a password: a wrong one is said once, however often it is tried,
    // and no password reaches either log; the right one connects.
    void userAndPassword()
    {
        Broker probe;
        const QString passwd = probe.path(QStringLiteral("passwd"));
        const QString out = run(QStringLiteral("mosquitto_passwd"),
                                {QStringLiteral("-b"), QStringLiteral("-c"), passwd,
                                 QStringLiteral("station1"), QStringLiteral("Right-Horse-7")});
        QVERIFY2(QFile::exists(passwd), qPrintable(out));
        Broker broker(QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(passwd));
        QVERIFY(broker.start());

        Settings s = settingsFor(broker.port);
        s.user = QStringLiteral("station1");
        s.password = QStringLiteral("Wrong-Donkey-3");
        {
            Publisher publisher(s);
            QSignalSpy logged(&publisher, &Publisher::messageLogged);
            publisher.start();
            // Two tries refused by the broker (1 s, then 2 s later).
            QTRY_VERIFY_WITH_TIMEOUT(broker.log.count(QLatin1String("not authorised")) >= 2, 20000);
            QTRY_COMPARE(logged.size(), 2);
            QVERIFY2(logged[1][0].toString().contains(QLatin1String("not authorised")),
                     qPrintable(logged[1][0].toString()));
            QVERIFY(!publisher.isConnected());
            for (const auto &l : logged)
                QVERIFY(!l[0].toString().contains(QLatin1String("Donkey")));
        }
        QVERIFY(!broker.log.contains(QLatin1String("Donkey")));
        s.password = QStringLiteral("Right-Horse-7");
        Publisher publisher(s);
        publisher.start();
        QTRY_VERIFY(publisher.isConnected());
        QVERIFY(!broker.log.contains(QLatin1String("Horse")));
    }

    // A broker that accepts and never answers: readings wait, the silence is said once, and a
    // clean stop still ends.
    void blackHole()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t n = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
        QCOMPARE(::listen(fd, 8), 0); // the kernel completes the handshake; nobody answers
        Settings s = settingsFor(ntohs(a.sin_port));
        s.keepAliveSeconds = 5;
        {
            Publisher publisher(s);
            QSignalSpy logged(&publisher, &Publisher::messageLogged);
            publisher.start();
            for (int i = 1; i <= 100; ++i)
                publisher.publishReading(reading(quint64(i)));
            QCOMPARE(publisher.waiting(), 100);
            QTRY_COMPARE_WITH_TIMEOUT(logged.size(), 2, 30000);
            QVERIFY2(logged[1][0].toString().contains(QLatin1String("does not answer")),
                     qPrintable(logged[1][0].toString()));
            QCOMPARE(publisher.statusText(), QStringLiteral("MQTT: 100 waiting"));
        }
        ::close(fd);
    }

    // TLS with a CA and a server certificate made here; a client that trusts another CA is
    // refused with a clear line.
    void tls()
    {
        QTemporaryDir d;
        const auto at = [&d](const char *name) { return d.filePath(QLatin1String(name)); };
        const auto ssl = [](const QStringList &args) {
            QProcess p;
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.start(QStringLiteral("openssl"), args);
            p.waitForFinished(60000);
            return p.exitCode() == 0;
        };
        for (const char *ca : {"ca", "other"})
            QVERIFY(ssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                         QStringLiteral("/CN=test %1").arg(QLatin1String(ca)), "-keyout",
                         at(ca) + ".key", "-out", at(ca) + ".crt"}));
        QVERIFY(ssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                     at("server.key"), "-out", at("server.csr")}));
        QFile ext(at("ext"));
        QVERIFY(ext.open(QIODevice::WriteOnly));
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n");
        ext.close();
        QVERIFY(ssl({"x509", "-req", "-in", at("server.csr"), "-CA", at("ca.crt"), "-CAkey",
                     at("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", at("ext"), "-out",
                     at("server.crt")}));
        Broker broker(QStringLiteral("cafile %1\ncertfile %2\nkeyfile %3\n")
                          .arg(at("ca.crt"), at("server.crt"), at("server.key")));
        QVERIFY(broker.start());

        Settings s = settingsFor(broker.port);
        s.tls = true;
        s.url = QStringLiteral("mqtts://127.0.0.1:%1").arg(broker.port);
        s.caFile = at("other.crt");
        {
            Publisher wrong(s);
            QSignalSpy logged(&wrong, &Publisher::messageLogged);
            wrong.start();
            QTRY_COMPARE(logged.size(), 2);
            QVERIFY2(logged[1][0].toString().contains(QLatin1String("TLS failure")),
                     qPrintable(logged[1][0].toString()));
        }
        s.caFile = at("ca.crt");
        Publisher publisher(s);
        publisher.start();
        QTRY_VERIFY(publisher.isConnected());
    }
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
