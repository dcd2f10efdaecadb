#pragma once
// The broker and station of one run, as the command line gives them:
//   --mqtt URL, --mqtt-ca FILE, --mqtt-station NAME, --mqtt-user NAME,
//   --mqtt-password-file FILE, and the environment variable NARWICKPANEL_MQTT_PASSWORD.
// The password never comes from the command line, where every user's ps shows it.
#include <QString>
#include <optional>

namespace publish {

struct Settings {
    QString url; // as given: "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]"
    QString host;
    int port = 0;
    bool tls = false;
    QString caFile;   // empty: the system's CA store
    QString station;  // the station's level in the topics; the host name by default
    QString user;     // empty: no user name
    QString password; // from the file or the environment; never logged
    int queueCapacity = 100000;
    int keepAliveSeconds = 10;
    bool operator==(const Settings &) const = default;
};

// The options as the command line gave them, before they are checked.
struct Arguments {
    std::optional<QString> url, caFile, station, user, passwordFile;
    bool operator==(const Arguments &) const = default;
    bool any() const { return url || caFile || station || user || passwordFile; }
};

// Checks the options and reads the password (the password file's first line, else
// `environmentPassword` when a user is given). A message for standard error on failure.
struct Checked {
    std::optional<Settings> settings;
    QString error;
};
Checked check(const Arguments &args, const std::optional<QString> &environmentPassword);

// Splits "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]" into `s`; an error text, or empty.
QString parseUrl(const QString &url, Settings &s);

} // namespace publish
