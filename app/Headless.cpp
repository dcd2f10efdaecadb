#include "app/Headless.h"

#include "app/Platform.h"
#include "app/ServiceNotifier.h"
#include "primary/PrimaryLink.h"
#include "publish/Publisher.h"
#include "secondary/SecondaryLink.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace headless {

LineSink::LineSink(int fd) : m_fd(fd), m_stamped(!isJournal(fd)) {}

bool LineSink::isJournal(int fd)
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = stream.indexOf(':');
    if (colon <= 0) return false;
    bool okDevice = false, okInode = false;
    const qulonglong device = stream.left(colon).toULongLong(&okDevice);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&okInode);
    struct stat st {};
    return okDevice && okInode && ::fstat(fd, &st) == 0 && qulonglong(st.st_dev) == device &&
           qulonglong(st.st_ino) == inode;
}

QString LineSink::stamp()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

void LineSink::line(const QString &text) const
{
    QByteArray out = m_stamped ? (stamp() + u' ' + text).toUtf8() : text.toUtf8();
    out += '\n';
    // One write per line where the pipe allows it, so that lines never interleave.
    const char *p = out.constData();
    qsizetype left = out.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // nobody reads any more: the run goes on without its log
        p += n;
        left -= n;
    }
}

QString dataFolderProblem(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return QStringLiteral("the data folder %1 does not exist").arg(folder);
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("the data folder %1 is not a folder").arg(folder);
    if (::access(path.constData(), W_OK | X_OK) != 0)
        return errno == EROFS
                   ? QStringLiteral("the data folder %1 is on a read-only file system").arg(folder)
                   : QStringLiteral("the data folder %1 is not writable").arg(folder);
    return {};
}

namespace {

// The links, wired to the sinks and the service manager instead of widgets.
class Run : public QObject {
public:
    Run(const cli::Options &options, const QString &dataFolder)
        : m_options(options), m_messages(STDERR_FILENO), m_readings(STDOUT_FILENO)
    {
        primary.setDataFolder(dataFolder);
        primary.setPressureSource([this] { return secondary.recordPressure(); });
        wireMessages();
        if (m_notifier.active()) wireStatus();
    }

    // The links go last (they close their ports and sync their files as they go): nothing
    // they say then reaches members that are gone already.
    ~Run() override
    {
        disconnect(&primary, nullptr, this, nullptr);
        disconnect(&secondary, nullptr, this, nullptr);
    }

    void say(const QString &text) { m_messages.line(text); }

    void start()
    {
        say(QStringLiteral("Scanning available COM hardware..."));
        primary.scan();
        secondary.scan();
        m_scanning = false;

        // The picks as the window makes them from the command line. A failure is said; a port
        // that is not there is waited for by its link.
        const int com = *m_options.port;
        QStringList picked;
        if (m_options.secondary) picked << QStringLiteral("gauge COM%1").arg(*m_options.secondary);
        primary.openUnattended(com);
        picked << QStringLiteral("instrument COM %1").arg(com);
        if (m_options.secondary) secondary.openUnattended(*m_options.secondary);
        if (m_options.save == PrimaryLink::SaveMode::All) {
            primary.setSaveMode(PrimaryLink::SaveMode::All);
            picked << QStringLiteral("Save all readings");
        }
        say(QStringLiteral("Picked from the command line: ") + picked.join(QStringLiteral(", ")));
        if (m_options.mqtt) startPublishing(*m_options.mqtt);
        m_notifier.ready();
    }

    void stop() { m_notifier.stopping(); }

    void startPublishing(const publish::Settings &settings)
    {
        m_publisher = std::make_unique<publish::Publisher>(settings);
        publish::connectLinks(*m_publisher, &primary, &secondary);
        connect(m_publisher.get(), &publish::Publisher::messageLogged, this, &Run::say);
        connect(m_publisher.get(), &publish::Publisher::statusChanged, &m_notifier,
                &ServiceNotifier::statusMayHaveChanged);
        m_publisher->start();
    }

    PrimaryLink primary;
    SecondaryLink secondary;

private:
    // Texts for the log's end: each non-empty line of them is a message of its own.
    void sayLines(const QString &text)
    {
        static const QRegularExpression breaks(QStringLiteral("[\r\n]+"));
        for (const QString &l : text.split(breaks, Qt::SkipEmptyParts))
            if (!l.trimmed().isEmpty()) say(l.trimmed());
    }

    void wireMessages()
    {
        PrimaryLink *p = &primary;
        connect(p, &PrimaryLink::messageLogged, this, &Run::say);
        connect(p, &PrimaryLink::logReplaced, this, &Run::sayLines);
        connect(p, &PrimaryLink::logAppended, this, &Run::sayLines);
        // The instrument's lines are echoed when asked for.
        if (m_options.echo)
            connect(p, &PrimaryLink::lineLogged, this, [this](const QString &line) {
                if (!line.isEmpty()) m_readings.line(line);
            });
        // The port's state as the window's status bar shows it, said when it changes.
        connect(p, &PrimaryLink::portStatusChanged, this, [this](const QString &text) {
            if (m_scanning || text == m_portStatus) return;
            m_portStatus = text;
            say(text);
        });

        SecondaryLink *s = &secondary;
        connect(s, &SecondaryLink::logAppended, this, &Run::sayLines);
        connect(s, &SecondaryLink::logReplaced, this, &Run::sayLines);
        connect(s, &SecondaryLink::messageLogged, this, &Run::say);
        // The window's boxes that wait for OK: the link has gone on already.
        connect(s, &SecondaryLink::messageRequested, this, &Run::sayLines);
    }

    void wireStatus()
    {
        // Readings of the whole run (the link's count stops at 32767 and starts again at each
        // pick). The line itself is made at most once a second.
        m_notifier.setStatusSource([this] { return status(); });
        ServiceNotifier *n = &m_notifier;
        connect(&primary, &PrimaryLink::readingParsed, this, [this](const primary::Reading &r) {
            m_total = r.seq;
            m_notifier.statusMayHaveChanged();
        });
        connect(&primary, &PrimaryLink::portStatusChanged, n,
                &ServiceNotifier::statusMayHaveChanged);
        connect(&secondary, &SecondaryLink::messageLogged, n,
                &ServiceNotifier::statusMayHaveChanged);
        connect(&secondary, &SecondaryLink::logAppended, n, &ServiceNotifier::statusMayHaveChanged);
#ifdef NP_TEST_SEAMS
        // Test seam: NARWICKPANEL_TEST_STALL="AFTER_MS,FOR_MS" blocks the event loop FOR_MS
        // once, AFTER_MS after the start, as a hung program would.
        const QList<QByteArray> stall = qgetenv("NARWICKPANEL_TEST_STALL").split(',');
        if (stall.size() == 2) {
            const int forMs = stall[1].toInt();
            QTimer::singleShot(stall[0].toInt(), this, [forMs] { QThread::msleep(forMs); });
        }
#endif
    }

    // "COM 7 open, 1234 readings, gauge COM 8"
    QString status() const
    {
        const int com = *m_options.port;
        QStringList parts;
        if (primary.waitingForPort())
            parts << QStringLiteral("COM %1 not there yet").arg(com);
        else
            parts << QStringLiteral("COM %1 %2")
                         .arg(com)
                         .arg(primary.isOpen() ? QStringLiteral("open") : QStringLiteral("closed"));
        parts << QStringLiteral("%1 %2").arg(m_total).arg(
            m_total == 1 ? QStringLiteral("reading") : QStringLiteral("readings"));
        if (m_options.secondary)
            parts << QStringLiteral("gauge COM %1%2")
                         .arg(*m_options.secondary)
                         .arg(secondary.openPort() >= 0 ? QString() : QStringLiteral(" away"));
        // "MQTT connected", "MQTT connecting…", "MQTT 12 waiting"
        if (m_publisher)
            parts << m_publisher->statusText().replace(QStringLiteral(": "), QStringLiteral(" "));
        return parts.join(QStringLiteral(", "));
    }

    cli::Options m_options;
    LineSink m_messages, m_readings;
    ServiceNotifier m_notifier;
    bool m_scanning = true;
    QString m_portStatus;
    quint64 m_total = 0;
    // Gone before the links: its clean exit says "offline" while they still stand.
    std::unique_ptr<publish::Publisher> m_publisher;
};

} // namespace

int run(char *argv0, const cli::Options &options)
{
    int argc = 1;
    char *argv[] = {argv0, nullptr};
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("NarwickPanel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NARWICKPANEL_VERSION));
    // A closed log pipe must not end the run: its lines are then dropped.
    std::signal(SIGPIPE, SIG_IGN);
    const LineSink messages(STDERR_FILENO);

    platform::InstanceLock lock;
    if (!lock.tryLock()) {
        messages.line(QStringLiteral("Brindlecast's NarwickPanel is already running. Cannot load "
                                     "program again"));
        return 1;
    }
    // As the window finds it: the shared documents folder's Brindlecast/NarwickPanel. It is
    // never created here; a service's unit makes it (StateDirectory=).
    const QString dataFolder =
        platform::documentsFolder().trimmed() + QStringLiteral("/Brindlecast/NarwickPanel");
    if (options.save == PrimaryLink::SaveMode::All) {
        if (const QString problem = dataFolderProblem(dataFolder); !problem.isEmpty()) {
            messages.line(QStringLiteral("Readings cannot be saved: ") + problem);
            return 1;
        }
    }

    platform::quitOnTerminationSignals();
    int status = 0;
    {
        Run service(options, dataFolder);
        service.start();
        status = QCoreApplication::exec();
        service.stop();
    } // the links let their ports go and sync what they saved
    messages.line(QStringLiteral("Stopped: the ports are closed and the records are on the disk"));
    return status;
}

} // namespace headless
