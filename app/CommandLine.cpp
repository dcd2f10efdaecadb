#include "app/CommandLine.h"

#include "app/LogView.h"
#include "app/frmMain.h"
#include "primary/PrimaryLink.h"
#include "secondary/SecondaryLink.h"

#include <QRadioButton>

namespace cli {

namespace {

const char *const SaveWords[] = {"none", "all", "current"}; // by SaveMode
static_assert(int(PrimaryLink::SaveMode::None) == 0 && int(PrimaryLink::SaveMode::All) == 1 &&
              int(PrimaryLink::SaveMode::Current) == 2);

Parsed failure(const QString &message)
{
    Parsed p;
    p.action = Parsed::Error;
    p.exitCode = 2;
    p.output = QStringLiteral("narwickpanel: %1\nTry 'narwickpanel --help'.\n").arg(message);
    return p;
}

// A COM number: decimal digits only, from 1 to `last`.
std::optional<int> comNumber(const QString &text, int last)
{
    if (text.isEmpty() || text.size() > 6) return std::nullopt;
    for (const QChar c : text)
        if (c < u'0' || c > u'9') return std::nullopt;
    const int n = text.toInt();
    if (n < 1 || n > last) return std::nullopt;
    return n;
}

// Why a headless run with these options cannot be started, or empty. Nobody is there to make
// a pick later, so the run must keep what it reads from the start.
QString headlessRefusal(const Options &o)
{
    if (!o.headless) return o.echo ? QStringLiteral("--echo needs --headless") : QString();
    if (!o.port) return QStringLiteral("--headless needs --port");
    if (o.save == PrimaryLink::SaveMode::Current)
        return QStringLiteral("--save current needs someone at the window, not --headless");
    // The record files or the broker keep the readings.
    if (o.save != PrimaryLink::SaveMode::All && !o.mqtt)
        return QStringLiteral("--headless needs --save all or --mqtt, or nothing would be kept");
    return {};
}

} // namespace

QString helpText()
{
    return QStringLiteral(
        "Usage: narwickpanel [--port N] [--secondary M] [--save all|current|none]\n"
        "                    [--mqtt URL [--mqtt-ca FILE] [--mqtt-station NAME]\n"
        "                     [--mqtt-user NAME [--mqtt-password-file FILE]]]\n"
        "       narwickpanel --headless --port N [--secondary M] [--save all] [--mqtt URL ...]\n"
        "                    [--echo]\n"
        "Shows, counts and saves the readings of a sensor read-out instrument on one serial\n"
        "port, beside the pressure a gauge reports on a second one.\n"
        "\n"
        "The options make the operator's picks after start-up, in this order:\n"
        "  --secondary M    the gauge's port, COM M (1 to 256)\n"
        "  --port N         the instrument's port, COM N (1 to 30)\n"
        "  --save all|current|none\n"
        "                   \"Save all readings\", \"Save current reading\" or \"Do not save\n"
        "                   readings\"\n"
        "  --mqtt URL       also publish every reading and pressure to the MQTT broker at\n"
        "                   mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (TLS, 8883)\n"
        "  --mqtt-ca FILE   trust the CA certificates in FILE (default: the system's store)\n"
        "  --mqtt-station NAME\n"
        "                   the station's name in the topics (default: the host name)\n"
        "  --mqtt-user NAME the user name at the broker\n"
        "  --mqtt-password-file FILE\n"
        "                   the password is the file's first line, or else the value of\n"
        "                   NARWICKPANEL_MQTT_PASSWORD (never an option: ps shows options)\n"
        "A port that is not there yet is tried again every 5 s until it appears. A port that\n"
        "fails to open is reported in the log, not in a box. The options hold for this run\n"
        "only; nothing is remembered.\n"
        "\n"
        "  --headless       no window and no display: log as a service does; messages go to\n"
        "                   standard error, each line stamped (unless it is the journal)\n"
        "  --echo           with --headless: every reading line on standard output too\n"
        "\n"
        "  -h, --help       show this help and exit\n"
        "  --version        show the version and exit\n"
        "\n"
        "Exit status: 0; 2 for a bad option, which opens no window and touches no port; 1 when\n"
        "a headless copy cannot start (another copy runs, or the data folder is missing).\n");
}

QString versionText()
{
    return QStringLiteral("NarwickPanel " NARWICKPANEL_VERSION "\n");
}

Parsed parse(const QStringList &arguments)
{
    Parsed result;
    // --help and --version answer only when every argument is sound, wherever they stand.
    publish::Arguments mqtt;
    std::optional<Parsed::Action> answer;
    std::optional<int> saveIndex; // in SaveWords
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            answer = Parsed::Help;
            continue;
        }
        if (arg == QLatin1String("--version")) {
            if (answer != Parsed::Help) answer = Parsed::Version;
            continue;
        }

        bool *flag = arg == QLatin1String("--headless") ? &result.options.headless
                     : arg == QLatin1String("--echo")   ? &result.options.echo
                                                        : nullptr;
        if (flag) {
            if (*flag) return failure(QStringLiteral("%1 is given twice").arg(arg));
            *flag = true;
            continue;
        }

        // --name VALUE or --name=VALUE
        const qsizetype equals = arg.indexOf(u'=');
        const QString name = equals < 0 ? arg : arg.left(equals);
        std::optional<int> *slot = nullptr;
        std::optional<QString> *text = name == QLatin1String("--mqtt")           ? &mqtt.url
                                       : name == QLatin1String("--mqtt-ca")      ? &mqtt.caFile
                                       : name == QLatin1String("--mqtt-station") ? &mqtt.station
                                       : name == QLatin1String("--mqtt-user")    ? &mqtt.user
                                       : name == QLatin1String("--mqtt-password-file")
                                           ? &mqtt.passwordFile
                                           : nullptr;
        if (text) {
            if (text->has_value()) return failure(QStringLiteral("%1 is given twice").arg(name));
            if (equals >= 0)
                *text = arg.mid(equals + 1);
            else if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1String("--")))
                *text = arguments[++i];
            if (!*text || (*text)->isEmpty())
                return failure(QStringLiteral("%1 needs a value").arg(name));
            continue;
        }
        if (name == QLatin1String("--mqtt-password"))
            return failure(QStringLiteral("no password on the command line, where any user can "
                                          "read it: use --mqtt-password-file or "
                                          "NARWICKPANEL_MQTT_PASSWORD"));
        const bool isSave = name == QLatin1String("--save");
        if (name == QLatin1String("--port"))
            slot = &result.options.port;
        else if (name == QLatin1String("--secondary"))
            slot = &result.options.secondary;
        else if (isSave)
            slot = &saveIndex;
        else if (arg.startsWith(u'-'))
            return failure(QStringLiteral("unknown option '%1'").arg(arg));
        else
            return failure(QStringLiteral("unexpected argument '%1'").arg(arg));

        std::optional<QString> value;
        if (equals >= 0)
            value = arg.mid(equals + 1);
        else if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1String("--")))
            value = arguments[++i];

        const int last = slot == &result.options.port ? InstrumentPorts : GaugePorts;
        const QString wants =
            isSave ? QStringLiteral("%1 needs all, current or none").arg(name)
                   : QStringLiteral("%1 needs a COM number from 1 to %2").arg(name).arg(last);
        if (!value || value->isEmpty()) return failure(wants);
        if (slot->has_value()) return failure(QStringLiteral("%1 is given twice").arg(name));

        if (isSave) {
            for (int k = 0; k < 3; ++k)
                if (*value == QLatin1String(SaveWords[k])) *slot = k;
        } else {
            *slot = comNumber(*value, last);
        }
        if (!slot->has_value()) return failure(wants + QStringLiteral(", not '%1'").arg(*value));
    }
    if (saveIndex) result.options.save = static_cast<PrimaryLink::SaveMode>(*saveIndex);
    const publish::Checked checked =
        publish::check(mqtt, qEnvironmentVariableIsSet("NARWICKPANEL_MQTT_PASSWORD")
                                 ? std::optional(qEnvironmentVariable("NARWICKPANEL_MQTT_PASSWORD"))
                                 : std::nullopt);
    if (!checked.error.isEmpty()) return failure(checked.error);
    result.options.mqtt = checked.settings;
    if (answer == Parsed::Help) return Parsed{Parsed::Help, {}, helpText(), 0};
    if (answer == Parsed::Version) return Parsed{Parsed::Version, {}, versionText(), 0};
    if (result.options.port && result.options.port == result.options.secondary)
        return failure(QStringLiteral("the instrument and the gauge cannot share one port "
                                      "(--port and --secondary both name COM%1)")
                           .arg(*result.options.port));
    if (const QString why = headlessRefusal(result.options); !why.isEmpty()) return failure(why);
    return result;
}

} // namespace cli

// ---------------------------------------------------------------------------------------------
// The picks

CommandLineStart::CommandLineStart(frmMain &window, const cli::Options &options, QObject *parent)
    : QObject(parent), m_window(window), m_options(options)
{
}

bool CommandLineStart::waitingForInstrument() const
{
    return m_window.primary->waitingForPort();
}

void CommandLineStart::setRetryInterval(int ms)
{
    m_window.primary->setRetryInterval(ms);
    m_window.secondary->setRetryInterval(ms);
}

void CommandLineStart::run()
{
    // The picks follow start-up's scans, also when those wait for a look off the window thread.
    if (!m_window.startUpScanned()) {
        connect(&m_window, &frmMain::portsScanned, this, &CommandLineStart::run,
                Qt::SingleShotConnection);
        return;
    }
    // The instrument's pick starts the log anew, so it comes first: what the gauge's pick
    // logs then stays in the log. A failure is logged; a port that is not there is waited for.
    QStringList picked;
    if (m_options.secondary) picked << QStringLiteral("gauge COM%1").arg(*m_options.secondary);
    if (m_options.port) {
        m_window.primary->openUnattended(*m_options.port);
        picked << QStringLiteral("instrument COM %1").arg(*m_options.port);
    }
    if (m_options.secondary) m_window.secondary->openUnattended(*m_options.secondary);
    if (m_options.save) {
        m_window.primary->setSaveMode(*m_options.save);
        picked << m_window.ctl.optSave[size_t(*m_options.save)]->text();
    }
    if (picked.isEmpty()) return;
    m_window.ctl.txtIncoming->appendMessage(QStringLiteral("Picked from the command line: ") +
                                            picked.join(QStringLiteral(", ")));
}
