#include "app/StatusBar.h"

#include "app/DisplayBox.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLocale>
#include <QResizeEvent>
#include <QTimer>

namespace {
// Panel widths in pixels: 5.55 in, then 1 in each, at 96 dots per inch.
constexpr std::array<int, 5> PanelWidths{533, 96, 96, 96, 96};

QAccessibleInterface *statusBarAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("StatusBar") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::StatusBar);
    return nullptr;
}
} // namespace

StatusBar::StatusBar(QWidget *parent) : QWidget(parent)
{
    static const bool factoryInstalled = (QAccessible::installFactory(statusBarAccessible), true);
    Q_UNUSED(factoryInstalled);
    setAutoFillBackground(true); // a new text repaints the bar alone, not the window beneath
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    for (int i = 0; i < 5; ++i) {
        auto *label = new DisplayBox(this, DisplayBox::Look::Panel); // sunken, 3 px margins
        label->setAccessibleDescription(QStringLiteral("sbStatusBar panel %1").arg(i + 1));
        if (i == 0)
            label->setMinimumWidth(PanelWidths[i]);
        else
            label->setFixedWidth(PanelWidths[i]);
        layout->addWidget(label, i == 0 ? 1 : 0);
        m_panels[i] = label;
    }
    m_panels[0]->setText(QStringLiteral("Choose a COM port to begin"));
    m_panels[1]->setText(QStringLiteral("Reading #"));
    m_clock = new QTimer(this);
    connect(m_clock, &QTimer::timeout, this, &StatusBar::refreshClock);
    m_clock->start(1000);
    refreshClock();
}

// Panels of a fixed size do not make the bar lay itself out again at every new text (the
// reading count changes with every line).
void StatusBar::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    for (int i = 1; i < 5; ++i)
        m_panels[i]->setFixedSize(PanelWidths[i], height());
    if (m_extra) m_extra->setFixedSize(m_extra->width(), height());
}

DisplayBox *StatusBar::addPanel(int width, const QString &description)
{
    if (m_extra) return m_extra;
    m_extra = new DisplayBox(this, DisplayBox::Look::Panel);
    m_extra->setAccessibleDescription(description);
    m_extra->setFixedWidth(width);
    m_panels[0]->setMinimumWidth(PanelWidths[0] - width - layout()->spacing());
    layout()->addWidget(m_extra);
    return m_extra;
}

void StatusBar::setPanelText(int panel, const QString &text)
{
    if (panel >= 1 && panel <= 5) m_panels[panel - 1]->setText(text);
}

QString StatusBar::panelText(int panel) const
{
    if (panel < 1 || panel > 5) return {};
    return m_panels[panel - 1]->text();
}

void StatusBar::refreshClock()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale;
    const QString date = locale.toString(now.date(), QLocale::ShortFormat);
    const QString time = locale.toString(now.time(), QLocale::ShortFormat);
    if (m_panels[3]->text() != date) m_panels[3]->setText(date);
    if (m_panels[4]->text() != time) m_panels[4]->setText(time);
}
