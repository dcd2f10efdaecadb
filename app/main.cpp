// NarwickPanel: shows, counts and saves the readings of a sensor read-out instrument on one
// serial port, beside the pressure a gauge reports on a second one.
#include "app/CommandLine.h"
#include "app/Headless.h"
#include "app/Platform.h"
#include "app/Publishing.h"
#include "app/frmMain.h"
#include "data/Icons.h"

#include <QApplication>
#include <QScreen>
#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    // The options are read before anything else: bad input opens no window, takes no lock and
    // touches no port.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const cli::Parsed parsed = cli::parse(arguments);
    if (parsed.action != cli::Parsed::Run) {
        std::fputs(parsed.output.toLocal8Bit().constData(),
                   parsed.action == cli::Parsed::Error ? stderr : stdout);
        return parsed.exitCode;
    }
    if (parsed.options.headless) return headless::run(argv[0], parsed.options); // no window

    // Qt sees the program's name only: none of its own options can take ours.
    // Qt's start-up must not create a runtime folder when the session names none it accepts.
    int qtArgc = 1;
    platform::withoutSessionBusLaunch();
    auto noFolders = std::make_unique<platform::StartupWithoutFolders>();
    QApplication app(qtArgc, argv);
    noFolders.reset();
    platform::quitOnTerminationSignals();
    QApplication::setApplicationName(QStringLiteral("NarwickPanel"));
    QApplication::setApplicationVersion(QStringLiteral(NARWICKPANEL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("io.github.narwickpanel.NarwickPanel"));
    QApplication::setWindowIcon(icons::programIcon());

    frmMain window;
    if (!window.Form_Load()) return 0;
    const QRect screen = window.screen()->availableGeometry();
    window.move(screen.center() - window.rect().center());
    window.show();

    // The command line's picks, made as the operator would make them in the window.
    CommandLineStart start(window, parsed.options);
    start.run();
    // Publishing, when asked for: it stops cleanly (at most 2 s) before the window goes.
    std::unique_ptr<publish::Publisher> publisher;
    if (parsed.options.mqtt) publisher = startPublishing(window, *parsed.options.mqtt);
    return app.exec();
}
