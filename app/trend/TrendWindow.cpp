#include "app/trend/TrendWindow.h"

#include "app/trend/SaveTarget.h"
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
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStatusBar>
#include <QSvgGenerator>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <climits>

namespace trend {

namespace {

void describe(QWidget *w, const QString &name, const QString &controlName)
{
    w->setObjectName(controlName);
    w->setAccessibleName(name);
    w->setAccessibleDescription(controlName);
}

// Qt's file dialog keeps its history, folder and column widths in a user settings file, made
// (with its folder) when the dialog closes. The program keeps no settings files: the user and
// system settings of every format go under /dev/null, where no folder can be made, so nothing
// is read or written. The program's own files never use QSettings.
void keepDialogSettingsInMemory()
{
    static const bool done = [] {
        for (auto format : {QSettings::NativeFormat, QSettings::IniFormat})
            for (auto scope : {QSettings::UserScope, QSettings::SystemScope})
                QSettings::setPath(format, scope, QStringLiteral("/dev/null"));
        return true;
    }();
    Q_UNUSED(done);
}

} // namespace

struct TrendWindow::Export {
    CsvPoints data;
    QString path;
    std::atomic<bool> cancel{false};
    std::atomic<qsizetype> done{0};
    bool ok = false;
    QString error;
    QThread *thread = nullptr;
    bool fromDialog = false;
};

TrendWindow::~TrendWindow()
{
    if (m_export) {
        m_export->cancel = true;
        m_export->thread->wait();
        delete m_export->thread;
    }
}

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
    m_exportBar = new QProgressBar(this);
    describe(m_exportBar, QStringLiteral("Saving the points"), QStringLiteral("prgTrendExport"));
    m_exportBar->setMaximumWidth(200);
    m_exportBar->hide();
    m_exportCancel = new QPushButton(QStringLiteral("Cancel"), this);
    describe(m_exportCancel, QStringLiteral("Cancel saving the points"),
             QStringLiteral("cmdTrendExportCancel"));
    m_exportCancel->hide();
    statusBar()->addPermanentWidget(m_exportBar);
    statusBar()->addPermanentWidget(m_exportCancel);
    connect(m_exportCancel, &QPushButton::clicked, this, &TrendWindow::cancelCsvExport);
    m_exportTimer = new QTimer(this);
    m_exportTimer->setInterval(100);
    connect(m_exportTimer, &QTimer::timeout, this, [this] {
        if (m_export) m_exportBar->setValue(int(m_export->done.load()));
    });

    auto *png = new QAction(QStringLiteral("Save Picture as &PNG..."), this);
    png->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    auto *svg = new QAction(QStringLiteral("Save Picture as S&VG..."), this);
    svg->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    auto *csv = m_csvAction = new QAction(QStringLiteral("Save Points as &CSV..."), this);
    csv->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    auto *close = new QAction(QStringLiteral("&Close"), this);
    close->setShortcut(QKeySequence::Close);
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addActions({png, svg, csv});
    file->addSeparator();
    file->addAction(close);
    m_plot->setContextMenuPolicy(Qt::ActionsContextMenu);
    m_plot->addActions({png, svg, csv});

    auto now = [this](bool (TrendWindow::*save)(const QString &, QString *) const) {
        return [this, save](const QString &path) {
            QString error;
            const bool ok = (this->*save)(path, &error);
            reportSave(path, ok, error);
        };
    };
    connect(png, &QAction::triggered, this, [this, now] {
        saveWithDialog(QStringLiteral("Save Picture as PNG"), QStringLiteral("PNG image (*.png)"),
                       QStringLiteral("png"), now(&TrendWindow::savePng));
    });
    connect(svg, &QAction::triggered, this, [this, now] {
        saveWithDialog(QStringLiteral("Save Picture as SVG"), QStringLiteral("SVG image (*.svg)"),
                       QStringLiteral("svg"), now(&TrendWindow::saveSvg));
    });
    connect(csv, &QAction::triggered, this, [this] {
        saveWithDialog(QStringLiteral("Save Points as CSV"),
                       QStringLiteral("Comma-separated values (*.csv)"), QStringLiteral("csv"),
                       [this](const QString &path) {
                           if (startCsvExport(path)) m_export->fromDialog = true;
                       });
    });
    connect(close, &QAction::triggered, this, &QWidget::close);

    connect(m_sensors, &QComboBox::activated, this, [this](int index) {
        m_picked = true; // new readings no longer move the choice
        chooseSensor(index);
        m_plot->refreshNow();
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
    checkSensorsDropped();
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
    m_model.setPinnedSensor(sensor);
    m_plot->setSensor(sensor);
    if (isVisible()) syncSensorList();
}

// The list is brought up to date only while the window is shown.
void TrendWindow::syncSensorList()
{
    const QStringList &ids = m_model.sensors();
    if (m_listChanges != m_model.sensorListChanges()) {
        m_listChanges = m_model.sensorListChanges();
        // An identifier seen long ago may have given its place to a new one.
        for (int i = 0; i < m_sensors->count(); ++i)
            if (m_sensors->itemText(i) != ids[i]) m_sensors->setItemText(i, ids[i]);
        for (qsizetype i = m_sensors->count(); i < ids.size(); ++i)
            m_sensors->addItem(ids[i]);
    }
    if (m_sensors->currentIndex() != m_sensor) m_sensors->setCurrentIndex(m_sensor);
}

void TrendWindow::checkBound()
{
    if (m_boundSaid || m_model.droppedCount() == 0) return;
    m_boundSaid = true;
    m_notice->setText(QStringLiteral("%1 points held: the oldest points now go first")
                          .arg(QLocale().toString(m_model.bound())));
}

void TrendWindow::checkSensorsDropped()
{
    if (m_model.sensorsDropped() == 0) return;
    if (isVisible()) syncSensorList();
    if (m_sensorsSaid) return;
    m_sensorsSaid = true;
    m_notice->setText(QStringLiteral("%1 sensors held: the ones seen longest ago were dropped")
                          .arg(QLocale().toString(TrendModel::MaxSensors)));
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
    return saveToPath(
        path, [&](QFileDevice &file) { return image.save(&file, "PNG"); }, error);
}

bool TrendWindow::saveSvg(const QString &path, QString *error) const
{
    return saveToPath(
        path,
        [&](QFileDevice &file) {
            QSvgGenerator svg;
            svg.setOutputDevice(&file);
            svg.setSize(m_plot->size());
            svg.setViewBox(QRect(QPoint(0, 0), m_plot->size()));
            svg.setTitle(windowTitle());
            svg.setDescription(m_plot->accessibleDescription());
            QPainter painter(&svg);
            m_plot->render(painter, m_plot->size());
            return painter.end();
        },
        error);
}

bool TrendWindow::saveCsv(const QString &path, QString *error) const
{
    const auto [t0, t1] = m_plot->timeSpan();
    return TrendModel::saveCsv(m_model.csvPoints(m_sensor, t0, t1, m_plot->pressureShown()), path,
                               error);
}

bool TrendWindow::startCsvExport(const QString &path)
{
    if (m_export) return false;
    const auto [t0, t1] = m_plot->timeSpan();
    m_export = std::make_unique<Export>();
    Export *e = m_export.get();
    // The copy is quick; the writing (a time stamp per row) goes on in the worker while the
    // store keeps taking readings.
    e->data = m_model.csvPoints(m_sensor, t0, t1, m_plot->pressureShown());
    e->path = path;
    e->thread = QThread::create(
        [e] { e->ok = TrendModel::saveCsv(e->data, e->path, &e->error, &e->cancel, &e->done); });
    connect(e->thread, &QThread::finished, this, &TrendWindow::exportDone);
    m_exportBar->setRange(0, int(std::min<size_t>(e->data.points.size(), INT_MAX)));
    m_exportBar->setValue(0);
    m_exportBar->show();
    m_exportCancel->show();
    m_csvAction->setEnabled(false);
    m_exportTimer->start();
    e->thread->start(QThread::LowPriority);
    return true;
}

void TrendWindow::cancelCsvExport()
{
    if (m_export) m_export->cancel = true;
}

void TrendWindow::exportDone()
{
    const std::unique_ptr<Export> e = std::move(m_export);
    e->thread->wait();
    delete e->thread;
    m_exportTimer->stop();
    m_exportBar->hide();
    m_exportCancel->hide();
    m_csvAction->setEnabled(true);
    const bool cancelled = !e->ok && e->cancel;
    const QString error = cancelled ? QString() : e->error;
    if (e->fromDialog) {
        if (cancelled)
            statusBar()->showMessage(QStringLiteral("Saving the points was cancelled"), 5000);
        else
            reportSave(e->path, e->ok, error);
    }
    emit exportFinished(e->ok, error);
}

void TrendWindow::reportSave(const QString &path, bool ok, const QString &error)
{
    if (ok) {
        statusBar()->showMessage(QStringLiteral("Saved %1").arg(QDir::toNativeSeparators(path)),
                                 5000);
    } else {
        QMessageBox::warning(
            this, windowTitle(),
            QStringLiteral("Could not save %1:\n%2").arg(QDir::toNativeSeparators(path), error));
    }
}

void TrendWindow::saveWithDialog(const QString &title, const QString &filter, const QString &suffix,
                                 const std::function<void(const QString &)> &save)
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
    keepDialogSettingsInMemory();
    QFileDialog dialog(this, title, folder, filter);
    dialog.setHistory(m_dialogHistory);
    dialog.setObjectName(QStringLiteral("dlgTrendSave"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(suffix);
    dialog.selectFile(name);
    const int answer = dialog.exec();
    m_dialogHistory = dialog.history(); // for this run only
    if (answer != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    save(dialog.selectedFiles().constFirst());
}

} // namespace trend
