#pragma once
// frmMain: the program's only working window. It lays out the controls, starts up, and wires
// the controls' events to the links' calls and the links' signals to the controls.
#include "app/Controls.h"
#include "app/DisplayFrame.h"
#include "app/Platform.h"

#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

class PrimaryLink;
class SecondaryLink;
namespace trend {
class TrendWindow;
}

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

    // The controls' events; they call the links.
    void cboPort_Click(int index);
    void Command2_Click();
    void optSave_Click(int Index);
    void cboStepperPort_Click(int index);
    void Command3_Click();
    void cmdZero_Click();
    void txtZero_Change(const QString &text);
    void Command1_Click();
    // Opens the trend window, or brings the open one to the front.
    void openTrend();

    QString BCappPath;
    QString NPpath;

    Controls ctl;
    PrimaryLink *primary = nullptr;
    SecondaryLink *secondary = nullptr;
    // The trend window: it collects from start-up and is shown on demand.
    std::unique_ptr<trend::TrendWindow> trendWindow;

    // How a second copy is refused; tests replace it to read the box's texts.
    static void (*showRefusal)(const QString &title, const QString &text);
    // How the gauge link's "Reset Error" and "Parms Error" are shown: a box that waits for OK.
    // Tests replace it.
    std::function<void(const QString &text)> showMessage;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void buildControls();
    void wireEvents();
    void wireTrend();

    platform::InstanceLock m_instanceLock;
    DisplayFrame m_frame;
};
