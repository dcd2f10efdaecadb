// NarwickPanel: shows, counts and saves the readings of a sensor read-out instrument on one
// serial port, beside the pressure a gauge reports on a second one.
#include "app/frmMain.h"
#include "data/Icons.h"

#include <QApplication>
#include <QScreen>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("NarwickPanel"));
    QApplication::setApplicationVersion(QStringLiteral(NARWICKPANEL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("io.github.narwickpanel.NarwickPanel"));
    QApplication::setWindowIcon(icons::programIcon());

    frmMain window;
    if (!window.Form_Load()) return 0;
    const QRect screen = window.screen()->availableGeometry();
    window.move(screen.center() - window.rect().center());
    window.show();
    return app.exec();
}
