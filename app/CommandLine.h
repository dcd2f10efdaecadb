#pragma once
// The command line: the operator's picks of one run given as options, for a start with nobody
// at the screen (an autostart entry after a power cut, for instance).
//
//   narwickpanel [--port N] [--secondary M] [--save all|current|none]
//                [--mqtt URL [--mqtt-ca FILE] [--mqtt-station NAME] [--mqtt-user NAME
//                 [--mqtt-password-file FILE]]]
//   narwickpanel --headless --port N [--secondary M] [--save all] [--mqtt URL ...] [--echo]
//   narwickpanel --help | --version
//
// The options are parsed before anything else happens (no window, no lock, no port). After
// start-up, CommandLineStart makes the picks the operator would make: the instrument's port
// (whose pick starts the log anew), the gauge's port, the save mode. Nothing is remembered for
// a later run.
#include "primary/PrimaryLink.h"
#include "publish/Settings.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

class frmMain;

namespace cli {

constexpr int InstrumentPorts = 30; // the instrument's list covers COM1 to COM30
constexpr int GaugePorts = 256;     // the gauge's list covers COM1 to COM256

struct Options {
    std::optional<int> port;                    // the instrument's COM number
    std::optional<int> secondary;               // the gauge's COM number
    std::optional<PrimaryLink::SaveMode> save;  // the save option picked
    bool headless = false;                      // no window: a service's run (app/Headless.h)
    bool echo = false;                          // headless: reading lines on standard output too
    std::optional<publish::Settings> mqtt = {}; // the broker to publish to
    bool operator==(const Options &) const = default;
};

struct Parsed {
    enum Action { Run, Help, Version, Error };
    Action action = Run;
    Options options;
    QString output;   // what to print: the help or version text (standard output) or the
                      // error message (standard error), ending with a line break
    int exitCode = 0; // for every action but Run: 0, or 2 for an error
};

// `arguments` without the program's name.
Parsed parse(const QStringList &arguments);

QString helpText();
QString versionText();

} // namespace cli

// Carries out the command line's picks in a started window through the links, as the
// operator's own picks would, except that nothing waits for an OK: a failure is logged. A port
// that is not there yet is tried again by its link until it appears, or the operator picks a
// port of that list, or rescans it.
class CommandLineStart : public QObject {
    Q_OBJECT
public:
    CommandLineStart(frmMain &window, const cli::Options &options, QObject *parent = nullptr);

    // Makes the picks; call once, after start-up.
    void run();

    // True while the instrument's port is waited for.
    bool waitingForInstrument() const;
    // Test seam: the interval of both links' waits.
    void setRetryInterval(int ms);

private:
    frmMain &m_window;
    cli::Options m_options;
};
