// A stand-in operator for the kill test: starts the window, picks the COM number given (" 12"
// by default), selects "Save all readings", says READY on standard output and runs until killed.
// Exit 3: start-up refused (another copy holds the lock); 4: the port did not open.
#include "app/frmMain.h"
#include "primary/PrimaryLink.h"
#include "serial/MSComm.h"

#include <QApplication>
#include <QComboBox>
#include <QRadioButton>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("NarwickPanel"));
    frmMain::showRefusal = [](const QString &, const QString &) {
        std::printf("REFUSED\n");
        std::fflush(stdout);
    };
    frmMain w;
    if (!w.Form_Load()) return 3;
    const QString entry = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(" 12");
    const int i = w.ctl.cboPort->findText(entry);
    if (i < 0) return 4;
    w.ctl.cboPort->setCurrentIndex(i);
    emit w.ctl.cboPort->activated(i);
    if (!w.primary->isOpen()) return 4;
    w.ctl.optSave[1]->click();
    std::printf("READY\n");
    std::fflush(stdout);
    return app.exec();
}
