#include "publish/Settings.h"

#include <QFile>
#include <QSysInfo>

namespace publish {

namespace {

bool hostChar(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'.' || c == u'-' || c == u'_';
}

// The file's first line without its line break; nullopt when it cannot be read.
std::optional<QString> firstLine(const QString &path, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return std::nullopt;
    }
    QByteArray line = file.readLine(4096);
    if (file.error() != QFile::NoError) {
        error = file.errorString();
        return std::nullopt;
    }
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

} // namespace

QString parseUrl(const QString &url, Settings &s)
{
    const QString bad = QStringLiteral("--mqtt needs mqtt://HOST[:PORT] or mqtts://HOST[:PORT], "
                                       "not '%1'")
                            .arg(url);
    const qsizetype sep = url.indexOf(QLatin1String("://"));
    if (sep < 0) return bad;
    const QString scheme = url.left(sep);
    if (scheme == QLatin1String("mqtt"))
        s.tls = false;
    else if (scheme == QLatin1String("mqtts"))
        s.tls = true;
    else
        return QStringLiteral("--mqtt: unknown scheme '%1' (mqtt or mqtts)").arg(scheme);
    QString rest = url.mid(sep + 3);
    if (rest.endsWith(u'/')) rest.chop(1);
    if (rest.contains(u'@'))
        return QStringLiteral("--mqtt: no user or password in the URL; use --mqtt-user and "
                              "--mqtt-password-file or NARWICKPANEL_MQTT_PASSWORD");

    QString host, port;
    if (rest.startsWith(u'[')) { // [IPv6]
        const qsizetype close = rest.indexOf(u']');
        if (close < 0) return bad;
        host = rest.mid(1, close - 1);
        const QString tail = rest.mid(close + 1);
        if (!tail.isEmpty() && !tail.startsWith(u':')) return bad;
        port = tail.mid(1);
        if (tail.startsWith(u':') && port.isEmpty()) return bad;
        for (const QChar c : host)
            if (!(c.isDigit() || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F') ||
                  c == u':' || c == u'.'))
                return bad;
    } else {
        const qsizetype colon = rest.indexOf(u':');
        host = colon < 0 ? rest : rest.left(colon);
        if (colon >= 0) {
            port = rest.mid(colon + 1);
            if (port.isEmpty()) return bad;
        }
        for (const QChar c : host)
            if (!hostChar(c)) return bad;
    }
    if (host.isEmpty()) return bad;
    int number = s.tls ? 8883 : 1883;
    if (!port.isEmpty()) {
        bool digits = port.size() <= 5;
        for (const QChar c : port)
            digits = digits && c >= u'0' && c <= u'9';
        number = digits ? port.toInt() : 0;
        if (number < 1 || number > 65535)
            return QStringLiteral("--mqtt: the port must be a number from 1 to 65535, not '%1'")
                .arg(port);
    }
    s.url = url;
    s.host = host;
    s.port = number;
    return {};
}

Checked check(const Arguments &args, const std::optional<QString> &environmentPassword)
{
    Checked result;
    if (!args.url) {
        if (args.any())
            result.error = QStringLiteral("--mqtt-ca, --mqtt-station, --mqtt-user and "
                                          "--mqtt-password-file need --mqtt URL");
        return result;
    }
    Settings s;
    if (QString e = parseUrl(*args.url, s); !e.isEmpty()) {
        result.error = e;
        return result;
    }
    if (args.caFile) {
        if (!s.tls) {
            result.error = QStringLiteral("--mqtt-ca needs an mqtts:// URL");
            return result;
        }
        QFile ca(*args.caFile);
        if (!ca.open(QIODevice::ReadOnly)) {
            result.error = QStringLiteral("--mqtt-ca: cannot read '%1': %2")
                               .arg(*args.caFile, ca.errorString());
            return result;
        }
        s.caFile = *args.caFile;
    }
    s.station = args.station ? *args.station : QSysInfo::machineHostName();
    if (s.station.isEmpty()) {
        result.error = args.station ? QStringLiteral("--mqtt-station needs a name")
                                    : QStringLiteral("no host name: give --mqtt-station NAME");
        return result;
    }
    if (args.user) {
        if (args.user->isEmpty()) {
            result.error = QStringLiteral("--mqtt-user needs a name");
            return result;
        }
        s.user = *args.user;
    }
    if (args.passwordFile) {
        if (!args.user) {
            result.error = QStringLiteral("--mqtt-password-file needs --mqtt-user");
            return result;
        }
        QString error;
        const std::optional<QString> line = firstLine(*args.passwordFile, error);
        if (!line) {
            result.error = QStringLiteral("--mqtt-password-file: cannot read '%1': %2")
                               .arg(*args.passwordFile, error);
            return result;
        }
        s.password = *line;
    } else if (args.user && environmentPassword) {
        s.password = *environmentPassword;
    }
    result.settings = s;
    return result;
}

} // namespace publish
