#include "app/CommandLine.h"

#include "app/LogView.h"
#include "app/frmMain.h"
#include "primary/PrimaryLink.h"
#include "secondary/SecondaryLink.h"
#include "serial/PortProbe.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QRadioButton>
#include <QToolButton>

namespace cli {

namespace {

const char *const SaveWords[] = {"none", "all", "current"}; // by optSave index

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

} // namespace

QString helpText()
{
    return QStringLiteral(
        "Usage: narwickpanel [--port N] [--secondary M] [--save all|current|none]\n"
        "                    [--mqtt URL [--mqtt-ca FILE] [--mqtt-station NAME]\n"
        "                     [--mqtt-user NAME [--mqtt-password-file FILE]]]\n"
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
        "  -h, --help       show this help and exit\n"
        "  --version        show the version and exit\n"
        "\n"
        "Exit status: 0; 2 for a bad option, which opens no window and touches no port.\n");
}

QString versionText()
{
    return QStringLiteral("NarwickPanel " NARWICKPANEL_VERSION "\n");
}

Parsed parse(const QStringList &arguments)
{
    Parsed result;
    publish::Arguments mqtt;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            result.action = Parsed::Help;
            result.options = {};
            result.output = helpText();
            return result;
        }
        if (arg == QLatin1String("--version")) {
            result.action = Parsed::Version;
            result.options = {};
            result.output = versionText();
            return result;
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
        if (name == QLatin1String("--port"))
            slot = &result.options.port;
        else if (name == QLatin1String("--secondary"))
            slot = &result.options.secondary;
        else if (name == QLatin1String("--save"))
            slot = &result.options.save;
        else if (arg.startsWith(u'-'))
            return failure(QStringLiteral("unknown option '%1'").arg(arg));
        else
            return failure(QStringLiteral("unexpected argument '%1'").arg(arg));

        std::optional<QString> value;
        if (equals >= 0)
            value = arg.mid(equals + 1);
        else if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1String("--")))
            value = arguments[++i];

        const bool isSave = slot == &result.options.save;
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
    const publish::Checked checked =
        publish::check(mqtt, qEnvironmentVariableIsSet("NARWICKPANEL_MQTT_PASSWORD")
                                 ? std::optional(qEnvironmentVariable("NARWICKPANEL_MQTT_PASSWORD"))
                                 : std::nullopt);
    if (!checked.error.isEmpty()) return failure(checked.error);
    result.options.mqtt = checked.settings;
    return result;
}

} // namespace cli

// ---------------------------------------------------------------------------------------------
// The picks

namespace {

// Shows `text` as the list's current entry, as the operator's pick would. A port the scan did
// not find is added in COM-number order, so the list shows what was asked for.
void showPick(QComboBox *box, const QString &text)
{
    int index = box->findText(text, Qt::MatchExactly);
    if (index < 0) {
        const int com = text.trimmed().toInt();
        index = box->count();
        for (int i = 1; i < box->count(); ++i) {
            if (box->itemText(i).trimmed().toInt() > com) {
                index = i;
                break;
            }
        }
        box->insertItem(index, text);
    }
    box->setCurrentIndex(index);
}

QString instrumentEntry(int com)
{
    return QLatin1Char(' ') + QString::number(com);
}

} // namespace

CommandLineStart::CommandLineStart(frmMain &window, const cli::Options &options, QObject *parent)
    : QObject(parent), m_window(window), m_options(options)
{
    m_retry.setInterval(RetryMs);
    connect(&m_retry, &QTimer::timeout, this, &CommandLineStart::retryInstrument);
    // The operator's own pick or rescan of the instrument's list ends the wait.
    connect(m_window.ctl.cboPort, &QComboBox::activated, &m_retry, &QTimer::stop);
    connect(m_window.ctl.Command2, &QToolButton::clicked, &m_retry, &QTimer::stop);
}

void CommandLineStart::setRetryInterval(int ms)
{
    m_retry.setInterval(ms);
    m_window.secondary->setRetryInterval(ms);
}

void CommandLineStart::log(const QString &text)
{
    m_window.ctl.txtIncoming->appendMessage(text);
}

void CommandLineStart::run()
{
    QStringList picked;
    // A pick of the instrument's port starts the log anew: what the gauge's pick logged is
    // kept and said again after it.
    QList<std::pair<bool, QString>> gaugeLog; // (a message of its own, text)
    if (m_options.secondary) {
        SecondaryLink *s = m_window.secondary;
        const auto keep = [&gaugeLog](bool message) {
            return [&gaugeLog, message](const QString &text) { gaugeLog.append({message, text}); };
        };
        const auto lines = connect(s, &SecondaryLink::logAppended, this, keep(false));
        const auto messages = connect(s, &SecondaryLink::messageLogged, this, keep(true));
        pickGauge();
        disconnect(lines);
        disconnect(messages);
        picked << QStringLiteral("gauge COM%1").arg(*m_options.secondary);
    }
    if (m_options.port) {
        pickInstrument();
        for (const auto &[message, text] : gaugeLog)
            message ? log(text) : m_window.ctl.txtIncoming->appendText(text);
        picked << QStringLiteral("instrument COM %1").arg(*m_options.port);
    }
    if (m_options.save) {
        QRadioButton *option = m_window.ctl.optSave[size_t(*m_options.save)];
        option->setChecked(true); // the group announces it to the instrument's link
        picked << option->text();
    }
    if (picked.isEmpty()) return;
    log(QStringLiteral("Picked from the command line: ") + picked.join(QStringLiteral(", ")));
    if (m_retry.isActive())
        log(QStringLiteral("COM %1 is not there yet; it is tried again every %2 s until it "
                           "appears")
                .arg(*m_options.port)
                .arg(m_retry.interval() / 1000.0));
}

void CommandLineStart::pickGauge()
{
    const QString entry = QString::number(*m_options.secondary);
    showPick(m_window.ctl.cboStepperPort, entry);
    m_window.secondary->pickUnattended(entry); // a failure is logged; an absent port waited for
}

void CommandLineStart::pickInstrument()
{
    const int com = *m_options.port;
    showPick(m_window.ctl.cboPort, instrumentEntry(com));
    m_window.primary->cboPort_Click(instrumentEntry(com));
    if (!m_window.primary->MSComm1.PortOpen() &&
        serial::probeCom(com) == serial::ProbeResult::Absent)
        m_retry.start();
}

void CommandLineStart::retryInstrument()
{
    const int com = *m_options.port;
    // The operator has moved on (a pick or a rescan shows another entry): stop waiting.
    if (m_window.ctl.cboPort->currentText() != instrumentEntry(com)) {
        m_retry.stop();
        return;
    }
    // One probe per try; a port held by someone is there, and its pick fails as by hand.
    if (serial::probeCom(com) == serial::ProbeResult::Absent) return;
    m_retry.stop();
    m_window.primary->cboPort_Click(instrumentEntry(com));
    log(QStringLiteral("COM %1 is there now: picked from the command line").arg(com));
}
