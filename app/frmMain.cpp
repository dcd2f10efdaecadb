#include "app/frmMain.h"

#include "serial/PortUsers.h"

#include "app/DisplayBox.h"
#include "app/LogView.h"
#include "app/OptionButton.h"
#include "app/PortList.h"
#include "app/StatusBar.h"
#include "app/trend/TrendWindow.h"
#include "data/Fonts.h"
#include "data/Icons.h"
#include "primary/PrimaryLink.h"
#include "secondary/SecondaryLink.h"
#include "serial/PortUsers.h"

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QEvent>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>
#include <algorithm>

namespace {

// Positions and sizes are laid out in twips; 15 twips make one device-independent pixel.
constexpr int Twips = 15;
QRect twips(int left, int top, int width, int height)
{
    return {left / Twips, top / Twips, width / Twips, height / Twips};
}

// The typeface travels with the program (data/fonts), so captions fit the same everywhere.
const QString FontFamily = QStringLiteral("Lato");

QFont controlFont(qreal points, bool bold)
{
    QFont f(FontFamily);
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

// The grey group rectangles drawn behind the controls.
const QColor GroupColour(0xE0, 0xE0, 0xE0);

const QRect GroupRects[] = {
    twips(360, 240, 5295, 615),   // choosing the primary port
    twips(360, 960, 5295, 6255),  // the reading
    twips(360, 7320, 5295, 1695), // saving
    twips(5880, 6840, 7935, 2175) // the secondary link
};

void describe(QWidget *w, const QString &name, const QString &controlName)
{
    w->setObjectName(controlName);
    w->setAccessibleName(name);
    w->setAccessibleDescription(controlName);
}

void defaultRefusal(const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok);
    box.exec();
}

} // namespace

void (*frmMain::showRefusal)(const QString &, const QString &) = defaultRefusal;

frmMain::frmMain(QWidget *parent) : QWidget(parent)
{
    fonts::loadEmbedded();
    QFont::insertSubstitutions(FontFamily, {QStringLiteral("DejaVu Sans")}); // if it failed
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("NarwickPanel"));
    setWindowIcon(icons::programIcon());
    setFixedSize(14115 / Twips, 9465 / Twips);
    setFont(controlFont(9.75, false));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
    setPalette(pal);
    setAutoFillBackground(true);

    buildControls();
    primary = new PrimaryLink(this);
    secondary = new SecondaryLink(this);
    showMessage = [](const QString &text) {
        QMessageBox::information(QApplication::activeWindow(), QStringLiteral("NarwickPanel"), text,
                                 QMessageBox::Ok);
    };
    wireEvents();
    wireTrend();
}

frmMain::~frmMain() = default;

namespace {

QLabel *makeLabel(QWidget *window, const QString &text, const QRect &r, bool bold,
                  const QString &name)
{
    auto *l = new QLabel(text, window);
    l->setGeometry(r);
    l->setFont(controlFont(12, bold));
    l->setObjectName(name);
    l->setAccessibleDescription(name);
    return l;
}

// The colour around a box: its corners are filled with it, so a box that shows a new text is
// repainted alone, without the window beneath it.
QColor surrounding(const QWidget *window, const QRect &r)
{
    const bool grouped = std::any_of(std::begin(GroupRects), std::end(GroupRects),
                                     [&r](const QRect &g) { return g.contains(r); });
    return grouped ? GroupColour : window->palette().color(QPalette::Window);
}

// A box only the program writes: drawn by itself, cheap to give a new text.
DisplayBox *makeBox(QWidget *window, const QRect &r, const QString &name, const QString &spoken)
{
    auto *e = new DisplayBox(window);
    e->setGeometry(r);
    QPalette p = e->palette();
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::Window, surrounding(window, r));
    e->setPalette(p);
    describe(e, spoken, name);
    return e;
}

QToolButton *makeRefresh(QWidget *window, const QRect &r, const QString &name)
{
    auto *b = new QToolButton(window);
    b->setGeometry(r);
    b->setFont(controlFont(8.25, true));
    b->setIcon(icons::refreshIcon());
    b->setIconSize(QSize(16, 16));
    b->setToolTip(QStringLiteral("Click to refresh available COM ports"));
    b->setFocusPolicy(Qt::StrongFocus);
    describe(b, QStringLiteral("Refresh available COM ports"), name);
    return b;
}

PortList *makeCombo(QWidget *window, const QRect &r, const QString &name, const QString &spoken)
{
    auto *c = new PortList(window);
    c->setGeometry(r);
    c->setFont(controlFont(9.75, true));
    c->setEditText(QStringLiteral("COM ports"));
    describe(c, spoken, name);
    return c;
}

} // namespace

void frmMain::buildControls()
{
    buildReadingPane();
    buildSaving();
    buildGauge();
    buildButtonAndStatus();
    setFocusOrder();
    maskCaptions();
}

// The log, the instrument's port pick and the reading boxes.
void frmMain::buildReadingPane()
{
    // The log comes first in the focus order.
    ctl.txtIncoming = new LogView(this);
    ctl.txtIncoming->setGeometry(twips(5880, 240, 7935, 6375));
    ctl.txtIncoming->setMaximumBlockCount(10000);
    describe(ctl.txtIncoming, QStringLiteral("Traffic and message log"),
             QStringLiteral("txtIncoming"));

    ctl.lblOpenCom = makeLabel(this, QStringLiteral("Choose a COM port:"),
                               twips(480, 360, 3015, 375), true, QStringLiteral("lblOpenCom"));
    ctl.cboPort = makeCombo(this, twips(2880, 360, 1695, 390), QStringLiteral("cboPort"),
                            QStringLiteral("Choose a COM port:"));
    ctl.lblOpenCom->setBuddy(ctl.cboPort);
    ctl.Command2 = makeRefresh(this, twips(4920, 360, 495, 375), QStringLiteral("Command2"));

    ctl.lblSensor[0] = makeLabel(this, QStringLiteral("Sensor ID"), twips(480, 1200, 1935, 375),
                                 true, QStringLiteral("lblSensor(0)"));
    ctl.txtSensorID = makeBox(this, twips(2040, 1200, 2655, 390), QStringLiteral("txtSensorID"),
                              QStringLiteral("Sensor ID"));
    ctl.lblSensor[1] = makeLabel(this, QStringLiteral("Sensor Type"), twips(480, 1680, 1935, 375),
                                 true, QStringLiteral("lblSensor(1)"));
    ctl.txtSensorType = makeBox(this, twips(2040, 1680, 2655, 390), QStringLiteral("txtSensorType"),
                                QStringLiteral("Sensor Type"));
    ctl.lblSensor[0]->setBuddy(ctl.txtSensorID);
    ctl.lblSensor[1]->setBuddy(ctl.txtSensorType);
    for (int k = 1; k <= 10; ++k) {
        const int top = 2280 + (k - 1) * 480;
        const QString caption = QStringLiteral("Channel %1").arg(k);
        ctl.lblSensor[k + 1] = makeLabel(this, caption, twips(480, top, 1935, 375), true,
                                         QStringLiteral("lblSensor(%1)").arg(k + 1));
        ctl.txtChannel[k] = makeBox(this, twips(2040, top, 1815, 390),
                                    QStringLiteral("txtChannel(%1)").arg(k), caption);
        ctl.lblSensor[k + 1]->setBuddy(ctl.txtChannel[k]);
    }
}

// The save choice.
void frmMain::buildSaving()
{
    // Saving: optSave(0) comes first in the focus order.
    const struct {
        int index;
        const char *caption;
        QRect rect;
    } options[] = {{0, "Do not save readings", twips(3720, 7560, 1575, 495)},
                   {1, "Save all readings", twips(600, 7560, 1575, 495)},
                   {2, "Save current reading", twips(600, 8280, 1575, 495)}};
    auto *group = new QButtonGroup(this);
    group->setObjectName(QStringLiteral("optSaveGroup"));
    for (const auto &o : options) {
        auto *b = new OptionButton(QString::fromLatin1(o.caption), this);
        b->setGeometry(o.rect);
        describe(b, b->text(), QStringLiteral("optSave(%1)").arg(o.index));
        group->addButton(b, o.index);
        ctl.optSave[o.index] = b;
    }
    ctl.optSave[0]->setChecked(true);
}

// The gauge: its port pick, the stream and pressure boxes, the zero.
void frmMain::buildGauge()
{
    ctl.Label1 = makeLabel(this, QStringLiteral("Secondary COM Port:"),
                           twips(6240, 7080, 3015, 375), true, QStringLiteral("Label1"));
    ctl.Command3 = makeRefresh(this, twips(10560, 7080, 495, 375), QStringLiteral("Command3"));
    ctl.Command3->setAccessibleName(QStringLiteral("Refresh available secondary COM ports"));
    ctl.cboStepperPort =
        makeCombo(this, twips(8880, 7080, 1455, 390), QStringLiteral("cboStepperPort"),
                  QStringLiteral("Secondary COM Port:"));
    ctl.Label1->setBuddy(ctl.cboStepperPort);

    ctl.lblSensor[12] =
        makeLabel(this, QStringLiteral("Datastream Val"), twips(6240, 8280, 1695, 375), false,
                  QStringLiteral("lblSensor(12)"));
    ctl.txtStream2 = makeBox(this, twips(8040, 8280, 3015, 390), QStringLiteral("txtStream2"),
                             QStringLiteral("Datastream Val"));
    ctl.lblSensor[12]->setBuddy(ctl.txtStream2);
    ctl.lblSensor[13] =
        makeLabel(this, QStringLiteral("PRESSURE (psi)"), twips(6240, 7680, 1695, 375), true,
                  QStringLiteral("lblSensor(13)"));
    ctl.txtPressure = makeBox(this, twips(8040, 7680, 3015, 390), QStringLiteral("txtPressure"),
                              QStringLiteral("PRESSURE (psi)"));
    ctl.lblSensor[13]->setBuddy(ctl.txtPressure);
    // The zero is the one box the operator may type in.
    ctl.txtZero = new QLineEdit(this);
    {
        const QRect r = twips(12480, 7680, 1095, 390);
        ctl.txtZero->setGeometry(r);
        QPalette p = ctl.txtZero->palette();
        p.setColor(QPalette::Base, palette().color(QPalette::Button));
        p.setColor(QPalette::Window, surrounding(this, r));
        ctl.txtZero->setPalette(p);
        ctl.txtZero->setAutoFillBackground(true);
        describe(ctl.txtZero, QStringLiteral("Zero"), QStringLiteral("txtZero"));
    }
    ctl.txtZero->setText(QStringLiteral("0"));
    ctl.cmdZero = new QPushButton(QStringLiteral("Zero:"), this);
    ctl.cmdZero->setGeometry(twips(12480, 7080, 1095, 495));
    describe(ctl.cmdZero, QStringLiteral("Zero: take the current pressure as zero"),
             QStringLiteral("cmdZero"));
}

// "View Saved Files" and the status bar.
void frmMain::buildButtonAndStatus()
{
    ctl.Command1 = new QPushButton(QStringLiteral("View Saved Files"), this);
    ctl.Command1->setGeometry(twips(3720, 8280, 1695, 495));
    describe(ctl.Command1, ctl.Command1->text(), QStringLiteral("Command1"));

    ctl.sbStatusBar = new StatusBar(this);
    ctl.sbStatusBar->setObjectName(QStringLiteral("sbStatusBar"));
    ctl.sbStatusBar->setAccessibleName(QStringLiteral("Status bar"));
    ctl.sbStatusBar->setAccessibleDescription(QStringLiteral("sbStatusBar"));
    ctl.sbStatusBar->setGeometry(0, height() - 270 / Twips, width(), 270 / Twips);
}

void frmMain::setFocusOrder()
{
    // The focus order of the layout.
    QWidget *order[] = {
        ctl.txtIncoming,   ctl.cboPort,       ctl.Command2,       ctl.txtSensorID,
        ctl.txtSensorType, ctl.txtChannel[1], ctl.txtChannel[2],  ctl.txtChannel[3],
        ctl.txtChannel[4], ctl.txtChannel[5], ctl.txtChannel[6],  ctl.txtChannel[7],
        ctl.txtChannel[8], ctl.txtChannel[9], ctl.txtChannel[10], ctl.optSave[0],
        ctl.optSave[1],    ctl.optSave[2],    ctl.Command3,       ctl.cboStepperPort,
        ctl.txtStream2,    ctl.txtPressure,   ctl.txtZero,        ctl.cmdZero,
        ctl.Command1};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
}

void frmMain::maskCaptions()
{
    // Several captions reach under their boxes. The part under the box is masked off, so a box
    // that shows a new reading is repainted alone, not with its caption.
    for (QLabel *label : findChildren<QLabel *>(Qt::FindDirectChildrenOnly)) {
        const QWidget *box = label->buddy();
        if (!box || !label->geometry().intersects(box->geometry())) continue;
        label->setMask(
            QRegion(label->rect()).subtracted(box->geometry().translated(-label->pos())));
    }
}

namespace {

// A port list entry's text: the instrument's list shows " 7", the gauge's "7".
QString instrumentEntry(int com)
{
    return QLatin1Char(' ') + QString::number(com);
}

QString gaugeEntry(int com)
{
    return QString::number(com);
}

// A scan's result: "none" first, then the entries with their devices as tool tips. Each entry
// carries its COM number (0 for "none").
void fillPortList(QComboBox *box, const QList<serial::PortEntry> &entries, QString (*text)(int com))
{
    box->clear();
    box->addItem(QStringLiteral("none"), 0);
    for (const serial::PortEntry &e : entries) {
        box->addItem(text(e.com), e.com);
        box->setItemData(box->count() - 1, QStringLiteral("COM %1: %2").arg(e.com).arg(e.device),
                         Qt::ToolTipRole);
    }
    box->setCurrentIndex(0);
}

// Shows the port a link picked as the list's current entry. A port the scan did not find (a
// pick from the command line) is added in COM-number order, so the list shows what was picked.
void showPick(QComboBox *box, int com, QString (*text)(int com))
{
    int index = box->findData(com);
    if (index < 0) {
        index = box->count();
        for (int i = 1; i < box->count(); ++i) {
            if (box->itemData(i).toInt() > com) {
                index = i;
                break;
            }
        }
        box->insertItem(index, text(com), com);
    }
    box->setCurrentIndex(index);
}

// A scan keeps the wait cursor up while it probes.
template <class F> void withWaitCursor(F &&scan)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    scan();
    QApplication::restoreOverrideCursor();
}

} // namespace

void frmMain::cboPort_Click(int index)
{
    const int com = ctl.cboPort->itemData(index).toInt();
    withLook([this, com] { com == 0 ? primary->close() : primary->open(com); });
}

void frmMain::Command2_Click()
{
    withLook([this] { withWaitCursor([this] { primary->rescan(); }); });
}

void frmMain::optSave_Click(int Index)
{
    primary->setSaveMode(static_cast<PrimaryLink::SaveMode>(Index));
}

void frmMain::cboStepperPort_Click(int index)
{
    const int com = ctl.cboStepperPort->itemData(index).toInt();
    withLook([this, com] { com == 0 ? secondary->close() : secondary->open(com); });
}

void frmMain::Command3_Click()
{
    withLook([this] { withWaitCursor([this] { secondary->rescan(); }); });
}

void frmMain::cmdZero_Click()
{
    secondary->setZeroToCurrent();
}

void frmMain::txtZero_Change(const QString &text)
{
    secondary->setZero(text);
}

void frmMain::wireEvents()
{
    connect(ctl.Command1, &QPushButton::clicked, this, &frmMain::Command1_Click);

    // Boxes only the program writes show the newest text at most once a frame.
    const auto boxTarget = [this](DisplayBox *box) {
        return m_frame.addTarget([box](const QString &text) { box->setText(text); });
    };

    // The instrument link.
    PrimaryLink *p = primary;
    connect(ctl.cboPort, &QComboBox::activated, this, &frmMain::cboPort_Click);
    connect(ctl.Command2, &QToolButton::clicked, this, &frmMain::Command2_Click);
    connect(ctl.optSave[0]->group(), &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked) optSave_Click(id);
    });
    connect(p, &PrimaryLink::portsListed, this, [this](const QList<serial::PortEntry> &e) {
        fillPortList(ctl.cboPort, e, instrumentEntry);
    });
    connect(p, &PrimaryLink::portPicked, this,
            [this](int com) { showPick(ctl.cboPort, com, instrumentEntry); });
    // A reading sets the boxes of the fields it carries; the others keep their text.
    const int sensorId = boxTarget(ctl.txtSensorID);
    const int sensorType = boxTarget(ctl.txtSensorType);
    std::array<int, 10> channels{};
    for (int k = 1; k <= 9; ++k)
        channels[size_t(k)] = boxTarget(ctl.txtChannel[size_t(k)]);
    connect(p, &PrimaryLink::readingParsed, this, [=, this](const primary::Reading &r) {
        if (r.sensorId) m_frame.set(sensorId, *r.sensorId);
        if (r.sensorType)
            m_frame.set(sensorType, *r.sensorType + QStringLiteral("  (") +
                                        QString::number(r.typeNumber) + u')');
        for (qsizetype k = 1; k <= std::min<qsizetype>(9, r.channels.size()); ++k) {
            const primary::Channel &c = r.channels[k - 1];
            m_frame.set(channels[size_t(k)], c.text + u' ' + c.unit);
        }
    });
    const int count =
        m_frame.addTarget([this](const QString &text) { ctl.sbStatusBar->setPanelText(3, text); });
    connect(p, &PrimaryLink::countChanged, this,
            [this, count](int n) { m_frame.set(count, QString::number(n)); });
    connect(p, &PrimaryLink::lineLogged, ctl.txtIncoming, &LogView::appendLine);
    connect(p, &PrimaryLink::logAppended, ctl.txtIncoming, &LogView::appendText);
    connect(p, &PrimaryLink::logReplaced, ctl.txtIncoming, &LogView::setPlainText);
    connect(p, &PrimaryLink::messageLogged, ctl.txtIncoming, &LogView::appendMessage);
    connect(p, &PrimaryLink::portStatusChanged, this,
            [this](const QString &text) { ctl.sbStatusBar->setPanelText(1, text); });
    connect(p, &PrimaryLink::saveModeChanged, this, [this](PrimaryLink::SaveMode mode) {
        QRadioButton *option = ctl.optSave[size_t(mode)];
        if (option->isChecked()) return; // the operator's own choice
        option->setChecked(true);
        // "Save current reading" has saved its reading: the choice is back, and so is focus.
        if (mode == PrimaryLink::SaveMode::None) option->setFocus();
    });

    // The gauge link.
    SecondaryLink *s = secondary;
    connect(ctl.cboStepperPort, &QComboBox::activated, this, &frmMain::cboStepperPort_Click);
    connect(ctl.Command3, &QToolButton::clicked, this, &frmMain::Command3_Click);
    connect(ctl.cmdZero, &QPushButton::clicked, this, &frmMain::cmdZero_Click);
    connect(ctl.txtZero, &QLineEdit::textEdited, this, &frmMain::txtZero_Change);
    connect(s, &SecondaryLink::zeroChanged, ctl.txtZero, &QLineEdit::setText);
    connect(s, &SecondaryLink::portsListed, this, [this](const QList<serial::PortEntry> &e) {
        fillPortList(ctl.cboStepperPort, e, gaugeEntry);
    });
    connect(s, &SecondaryLink::portPicked, this,
            [this](int com) { showPick(ctl.cboStepperPort, com, gaugeEntry); });
    connect(s, &SecondaryLink::logAppended, ctl.txtIncoming, &LogView::appendText);
    connect(s, &SecondaryLink::logReplaced, ctl.txtIncoming, &LogView::setPlainText);
    connect(s, &SecondaryLink::messageLogged, ctl.txtIncoming, &LogView::appendMessage);
    const int pressure = boxTarget(ctl.txtPressure);
    connect(s, &SecondaryLink::pressureChanged, this,
            [this, pressure](const QString &text) { m_frame.set(pressure, text); });
    const int stream = boxTarget(ctl.txtStream2);
    connect(s, &SecondaryLink::streamChanged, this,
            [this, stream](const QString &text) { m_frame.set(stream, text); });
    connect(s, &SecondaryLink::messageRequested, this,
            [this](const QString &text) { showMessage(text); });

    // A record carries the pressure the gauge link holds at the moment of saving.
    primary->setPressureSource([s] { return s->recordPressure(); });
}

namespace {

// Calls `open` on a double click on a watched box, and `close` when the watched window closes.
class TrendOpener : public QObject {
public:
    TrendOpener(QObject *parent, std::function<void()> open, std::function<void()> close)
        : QObject(parent), m_open(std::move(open)), m_close(std::move(close))
    {
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonDblClick && watched != parent())
            m_open();
        else if (event->type() == QEvent::Close && watched == parent())
            m_close();
        return false;
    }

private:
    std::function<void()> m_open, m_close;
};

} // namespace

void frmMain::wireTrend()
{
    trendWindow = std::make_unique<trend::TrendWindow>();
    trendWindow->setWindowIcon(windowIcon());
    trend::TrendWindow *t = trendWindow.get();
    connect(primary, &PrimaryLink::readingParsed, t, &trend::TrendWindow::addReading);
    connect(secondary, &SecondaryLink::pressureMeasured, t, &trend::TrendWindow::addPressure);

    auto *opener = new TrendOpener(
        this, [this] { openTrend(); }, [t] { t->close(); });
    installEventFilter(opener); // the main window's closing closes the trend window too
    QList<QWidget *> boxes{ctl.txtSensorID, ctl.txtSensorType, ctl.txtPressure};
    for (int k = 1; k <= 10; ++k)
        boxes << ctl.txtChannel[size_t(k)];
    for (QWidget *box : boxes) {
        box->installEventFilter(opener);
        box->setToolTip(QStringLiteral("Double-click to open the trend view (Ctrl+T)"));
    }
    auto *shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_T), this);
    connect(shortcut, &QShortcut::activated, this, &frmMain::openTrend);
}

void frmMain::openTrend()
{
    trendWindow->setExportFolder(NPpath);
    trendWindow->openWindow();
}

bool frmMain::Form_Load()
{
    if (!m_instanceLock.tryLock()) {
        const QString problem = m_instanceLock.problem();
        showRefusal(QStringLiteral("Brindlecast's NarwickPanel"),
                    problem.isEmpty()
                        ? QStringLiteral("Brindlecast's NarwickPanel is already running\n"
                                         "Cannot load program again")
                        : QStringLiteral("The single-instance lock %1 %2\nCannot load program")
                              .arg(m_instanceLock.path(), problem));
        return false;
    }
    BCappPath = GetSpecialPath(46).trimmed() + QStringLiteral("/Brindlecast");
    NPpath = BCappPath + QStringLiteral("/NarwickPanel");
    primary->setDataFolder(NPpath);
    ctl.txtIncoming->setPlainText(QStringLiteral("Scanning available COM hardware..."));
    withLook([this] {
        withWaitCursor([this] {
            primary->scan();
            secondary->scan();
        });
        m_startUpScanned = true;
        emit portsScanned();
    });
    return true;
}

void frmMain::withLook(std::function<void()> action)
{
    if (m_waitingForLook == 0 && serial::otherProcessDescriptors() < serial::CostlyLook) {
        action();
        return;
    }
    ++m_waitingForLook;
    serial::afterLookAtOtherProcesses(this, [this, action = std::move(action)] {
        --m_waitingForLook;
        action();
    });
}

QString frmMain::GetSpecialPath(int CSIDL) const
{
    return CSIDL == 46 ? platform::documentsFolder() : QString();
}

void frmMain::Command1_Click()
{
    platform::openInFileBrowser(NPpath); // a failure is silent
}

void frmMain::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    for (const QRect &r : GroupRects)
        painter.fillRect(r, GroupColour);
}
