#pragma once
// frmMain: the program's only working window. It lays out the controls, starts up, and wires
// the controls' events to the handlers of the two links.
#include "app/Controls.h"
#include "app/Platform.h"

#include <QString>
#include <QWidget>
#include <memory>

namespace serial {
class MSComm;
}
class PrimaryLink;
class SecondaryLink;

class frmMain : public QWidget {
    Q_OBJECT
public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    // Runs start-up. False when another copy is already running: the refusal has been shown
    // and the window must not be shown.
    bool Form_Load();

    // The folder for a special-folder code; only 46 (the documents folder shared by all
    // users) is known. Empty when the platform gives none.
    QString GetSpecialPath(int CSIDL) const;

    void Command1_Click();

    QString BCappPath;
    QString NPpath;

    Controls ctl;
    serial::MSComm *MSComm1 = nullptr;
    PrimaryLink *primary = nullptr;
    SecondaryLink *secondary = nullptr;

    // How a second copy is refused; tests replace it to read the box's texts.
    static void (*showRefusal)(const QString &title, const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void buildControls();
    void wireEvents();

    platform::InstanceLock m_instanceLock;
};
