#pragma once
// The window's controls, by the names every handler uses. frmMain creates them and wires them
// to the links; the links themselves know no widget.
#include <array>

class DisplayBox;
class QComboBox;
class QLabel;
class QLineEdit;
class LogView;
class QPushButton;
class QRadioButton;
class QToolButton;
class StatusBar;

struct Controls {
    QLabel *lblOpenCom = nullptr;
    QComboBox *cboPort = nullptr;
    QToolButton *Command2 = nullptr;
    std::array<QLabel *, 14> lblSensor{};
    DisplayBox *txtSensorID = nullptr;
    DisplayBox *txtSensorType = nullptr;
    std::array<DisplayBox *, 11> txtChannel{}; // 1..10; there is no txtChannel(0)
    LogView *txtIncoming = nullptr;
    QLabel *Label1 = nullptr;
    QComboBox *cboStepperPort = nullptr;
    QToolButton *Command3 = nullptr;
    QPushButton *cmdZero = nullptr;
    DisplayBox *txtPressure = nullptr;
    QLineEdit *txtZero = nullptr;
    DisplayBox *txtStream2 = nullptr;
    std::array<QRadioButton *, 3> optSave{};
    QPushButton *Command1 = nullptr;
    StatusBar *sbStatusBar = nullptr;
};
