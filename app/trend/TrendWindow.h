#pragma once
// "NarwickPanel Trend": a window of its own that shows each channel of one sensor and the
// pressure over time. It collects every reading and pressure change from start-up, shown or
// not; drawing happens only while it is on screen.
#include "app/trend/TrendModel.h"
#include "secondary/Pressure.h"

#include <QMainWindow>

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDateTime;
class QLabel;

namespace trend {

class TrendPlot;

class TrendWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr qint64 Spans[] = {60'000, 600'000, 3'600'000, 0}; // 0: all since start

    explicit TrendWindow(QWidget *parent = nullptr, qsizetype bound = TrendModel::DefaultBound);

    // Every reading of the instrument link.
    void addReading(const primary::Reading &reading);
    // Every new pressure of the gauge link; none is a gap. A pressure equal to the one before
    // adds no point: the line holds its value until it changes.
    void addPressure(const secondary::Pressure &pressure);

    // Shows the window, or brings the open one to the front (restored if minimised).
    void openWindow();
    // Where the save dialogs start (the data folder).
    void setExportFolder(const QString &folder) { m_exportFolder = folder; }

    // Saving what is shown; false with `error` set when the file could not be written.
    bool savePng(const QString &path, QString *error = nullptr) const;
    bool saveSvg(const QString &path, QString *error = nullptr) const;
    bool saveCsv(const QString &path, QString *error = nullptr) const;

    const TrendModel &model() const { return m_model; }
    TrendPlot *plot() const { return m_plot; }
    QComboBox *sensorList() const { return m_sensors; }
    QCheckBox *pressureBox() const { return m_pressure; }
    QButtonGroup *spanButtons() const { return m_spans; }
    QLabel *notice() const { return m_notice; }
    QLabel *pointsLabel() const { return m_points; }

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void buildControls();
    void syncSensorList();
    void chooseSensor(int sensor);
    void checkBound();
    void saveWithDialog(const QString &title, const QString &filter, const QString &suffix,
                        bool (TrendWindow::*save)(const QString &, QString *) const);

    TrendModel m_model;
    TrendPlot *m_plot = nullptr;
    QComboBox *m_sensors = nullptr;
    QButtonGroup *m_spans = nullptr;
    QCheckBox *m_pressure = nullptr;
    QLabel *m_notice = nullptr;
    QLabel *m_points = nullptr;
    int m_sensor = -1;        // the sensor shown
    bool m_picked = false;    // the operator chose it: new readings no longer move the choice
    bool m_boundSaid = false; // the status line said once that the oldest points go
    QString m_exportFolder;
    std::optional<double> m_lastPressure; // the pressure last added
    bool m_hasPressure = false;           // one has been added
};

} // namespace trend
