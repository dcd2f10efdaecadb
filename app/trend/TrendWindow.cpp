#include "app/trend/TrendWindow.h"

#include "app/trend/TrendPlot.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStatusBar>
#include <QSvgGenerator>
#include <QVBoxLayout>

namespace trend {

namespace {

void describe(QWidget *w, const QString &name, const QString &controlName)
{
    w->setObjectName(controlName);
    w->setAccessibleName(name);
    w->setAccessibleDescription(controlName);
}

bool fail(QString *error, const QString &text)
{
    if (error) *error = text;
    return false;
}

} // namespace

TrendWindow::TrendWindow(QWidget *parent, qsizetype bound)
    : QMainWindow(parent, Qt::Window), m_model(bound)
{
    setObjectName(QStringLiteral("frmTrend"));
    setWindowTitle(QStringLiteral("NarwickPanel Trend"));
    // The main window's closing ends the program; this one never keeps it alive.
    setAttribute(Qt::WA_QuitOnClose, false);
    buildControls();
    resize(900, 540);
}

void TrendWindow::buildControls()
{
    auto *central = new QWidget(this);
    auto *column = new QVBoxLayout(central);
    auto *row = new QHBoxLayout;
    column->addLayout(row);

    auto *sensorLabel = new QLabel(QStringLiteral("&Sensor:"), central);
    m_sensors = new QComboBox(central);
    describe(m_sensors, QStringLiteral("Sensor"), QStringLiteral("cboTrendSensor"));
    m_sensors->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_sensors->setMinimumContentsLength(8);
    sensorLabel->setBuddy(m_sensors);
    row->addWidget(sensorLabel);
    row->addWidget(m_sensors);
    row->addSpacing(16);

    m_spans = new QButtonGroup(this);
    m_spans->setExclusive(true);
    const struct {
        const char *text;
        const char *spoken;
    } spans[] = {{"1 min", "Last minute"},
                 {"10 min", "Last 10 minutes"},
                 {"1 h", "Last hour"},
                 {"All", "All since start"}};
    QWidget *previous = m_sensors;
    for (int i = 0; i < int(std::size(spans)); ++i) {
        auto *b = new QPushButton(QString::fromLatin1(spans[i].text), central);
        b->setCheckable(true);
        describe(b, QString::fromLatin1(spans[i].spoken), QStringLiteral("optSpan(%1)").arg(i));
        m_spans->addButton(b, i);
        row->addWidget(b);
        setTabOrder(previous, b);
        previous = b;
    }
    m_spans->button(1)->setChecked(true); // 10 min
    row->addSpacing(16);

    m_pressure = new QCheckBox(QStringLiteral("&Pressure"), central);
    describe(m_pressure, QStringLiteral("Show the pressure"), QStringLiteral("chkPressure"));
    m_pressure->setChecked(true);
    row->addWidget(m_pressure);
    row->addStretch(1);
    setTabOrder(previous, m_pressure);

    m_plot = new TrendPlot(m_model, central);
    column->addWidget(m_plot, 1);
    setTabOrder(m_pressure, m_plot);
    setCentralWidget(central);

    m_notice = new QLabel(this);
    m_notice->setObjectName(QStringLiteral("lblTrendNotice"));
    m_notice->setAccessibleDescription(QStringLiteral("lblTrendNotice"));
    m_points = new QLabel(QStringLiteral("0 points shown"), this);
    m_points->setObjectName(QStringLiteral("lblTrendPoints"));
    m_points->setAccessibleDescription(QStringLiteral("lblTrendPoints"));
    statusBar()->addWidget(m_notice, 1);
    statusBar()->addPermanentWidget(m_points);

    auto *png = new QAction(QStringLiteral("Save Picture as &PNG..."), this);
    png->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    auto *svg = new QAction(QStringLiteral("Save Picture as S&VG..."), this);
    svg->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    auto *csv = new QAction(QStringLiteral("Save Points as &CSV..."), this);
    csv->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    auto *close = new QAction(QStringLiteral("&Close"), this);
    close->setShortcut(QKeySequence::Close);
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addActions({png, svg, csv});
    file->addSeparator();
    file->addAction(close);
    m_plot->setContextMenuPolicy(Qt::ActionsContextMenu);
    m_plot->addActions({png, svg, csv});

    connect(png, &QAction::triggered, this, [this] {
        saveWithDialog(QStringLiteral("Save Picture as PNG"), QStringLiteral("PNG image (*.png)"),
                       QStringLiteral("png"), &TrendWindow::savePng);
    });
    connect(svg, &QAction::triggered, this, [this] {
        saveWithDialog(QStringLiteral("Save Picture as SVG"), QStringLiteral("SVG image (*.svg)"),
                       QStringLiteral("svg"), &TrendWindow::saveSvg);
    });
    connect(csv, &QAction::triggered, this, [this] {
        saveWithDialog(QStringLiteral("Save Points as CSV"),
                       QStringLiteral("Comma-separated values (*.csv)"), QStringLiteral("csv"),
                       &TrendWindow::saveCsv);
    });
    connect(close, &QAction::triggered, this, &QWidget::close);

    connect(m_sensors, &QComboBox::activated, this, [this](int index) {
        m_picked = true; // new readings no longer move the choice
        chooseSensor(index);
    });
    connect(m_spans, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked) m_plot->setSpan(Spans[std::clamp(id, 0, 3)]);
    });
    connect(m_pressure, &QCheckBox::toggled, m_plot, &TrendPlot::setPressureShown);
    connect(m_plot, &TrendPlot::pictureBuilt, this, [this](qsizetype points) {
        const QString text = QStringLiteral("%1 points shown").arg(points);
        if (m_points->text() != text) m_points->setText(text);
    });
}

void TrendWindow::addReading(const primary::Reading &reading)
{
    const int sensor = m_model.addReading(reading.time.toMSecsSinceEpoch(), reading);
    // The choice follows the sensor shown in the reading boxes until the operator picks one.
    if (sensor >= 0 && !m_picked && sensor != m_sensor)
        chooseSensor(sensor);
    else if (sensor >= m_sensors->count() && isVisible())
        syncSensorList(); // a new sensor for the list
    m_plot->dataChanged();
    checkBound();
}

void TrendWindow::addPressure(const secondary::Pressure &pressure)
{
    if (m_hasPressure && pressure.value == m_lastPressure) return;
    m_hasPressure = true;
    m_lastPressure = pressure.value;
    m_model.addPressure(pressure.time.toMSecsSinceEpoch(),
                        pressure.value.value_or(std::numeric_limits<double>::quiet_NaN()));
    m_plot->dataChanged();
    checkBound();
}

void TrendWindow::chooseSensor(int sensor)
{
    m_sensor = sensor;
    m_plot->setSensor(sensor);
    if (isVisible()) syncSensorList();
}

// The list is brought up to date only while the window is shown.
void TrendWindow::syncSensorList()
{
    const QStringList &ids = m_model.sensors();
    for (qsizetype i = m_sensors->count(); i < ids.size(); ++i)
        m_sensors->addItem(ids[i]);
    if (m_sensors->currentIndex() != m_sensor) m_sensors->setCurrentIndex(m_sensor);
}

void TrendWindow::checkBound()
{
    if (m_boundSaid || m_model.droppedCount() == 0) return;
    m_boundSaid = true;
    m_notice->setText(QStringLiteral("%1 points held: the oldest points now go first")
                          .arg(QLocale().toString(m_model.bound())));
}

void TrendWindow::openWindow()
{
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TrendWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    syncSensorList();
    m_plot->refreshNow();
}

void TrendWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && !isMinimized()) m_plot->refreshNow();
}

bool TrendWindow::savePng(const QString &path, QString *error) const
{
    QImage image(m_plot->size(), QImage::Format_RGB32);
    {
        QPainter painter(&image);
        m_plot->render(painter, image.size());
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return fail(error, file.errorString());
    if (!image.save(&file, "PNG")) return fail(error, file.errorString());
    if (!file.commit()) return fail(error, file.errorString());
    return true;
}

bool TrendWindow::saveSvg(const QString &path, QString *error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return fail(error, file.errorString());
    {
        QSvgGenerator svg;
        svg.setOutputDevice(&file);
        svg.setSize(m_plot->size());
        svg.setViewBox(QRect(QPoint(0, 0), m_plot->size()));
        svg.setTitle(windowTitle());
        svg.setDescription(m_plot->accessibleDescription());
        QPainter painter(&svg);
        m_plot->render(painter, m_plot->size());
    }
    if (!file.commit()) return fail(error, file.errorString());
    return true;
}

bool TrendWindow::saveCsv(const QString &path, QString *error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return fail(error, file.errorString());
    const auto [t0, t1] = m_plot->timeSpan();
    if (m_model.writeCsv(file, m_sensor, t0, t1, m_plot->pressureShown()) < 0 || !file.commit())
        return fail(error, file.errorString());
    return true;
}

void TrendWindow::saveWithDialog(const QString &title, const QString &filter, const QString &suffix,
                                 bool (TrendWindow::*save)(const QString &, QString *) const)
{
    const QString folder = QDir(m_exportFolder).exists() && !m_exportFolder.isEmpty()
                               ? m_exportFolder
                               : QDir::homePath();
    QString sensor = m_model.sensors().value(m_sensor);
    sensor.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
    const QString name =
        QStringLiteral("trend %1 %2.%3")
            .arg(sensor, QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH.mm.ss"), suffix)
            .simplified();
    // Qt's own dialog: the same for every desktop, and filled in by screen readers and tests.
    QFileDialog dialog(this, title, folder, filter);
    dialog.setObjectName(QStringLiteral("dlgTrendSave"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(suffix);
    dialog.selectFile(name);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const QString path = dialog.selectedFiles().constFirst();
    QString error;
    if ((this->*save)(path, &error)) {
        statusBar()->showMessage(QStringLiteral("Saved %1").arg(QDir::toNativeSeparators(path)),
                                 5000);
    } else {
        QMessageBox::warning(
            this, windowTitle(),
            QStringLiteral("Could not save %1:\n%2").arg(QDir::toNativeSeparators(path), error));
    }
}

} // namespace trend
