#include "app/LogScrollBar.h"

#include <QPaintEvent>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionSlider>

LogScrollBar::LogScrollBar(QWidget *parent) : QScrollBar(Qt::Vertical, parent)
{
    m_later.setSingleShot(true);
    connect(&m_later, &QTimer::timeout, this, [this] { showLook(); });
}

void LogScrollBar::setByLog(int maximum, int pageStep, int value)
{
    {
        QScopedValueRollback<bool> quiet(m_settingByLog, true);
        // The scroll area lays its children out again (and so the window works out which
        // widgets cover which again) at every range change, to show or hide the bar: a
        // range that grows while the bar stays shown does not tell it.
        const bool shownEither = (this->maximum() > 0) == (maximum > 0) && minimum() == 0;
        {
            const QSignalBlocker unannounced(shownEither ? this : nullptr);
            setRange(0, maximum);
        }
        setPageStep(pageStep);
        setSingleStep(1);
        setValue(value);
    }
    if (!std::exchange(m_changedByLog, false)) return;
    const qint64 since = m_painted.isValid() ? m_painted.elapsed() : 250;
    if (since >= 250)
        showLook();
    else if (!m_later.isActive() && look() != m_shown)
        m_later.start(int(250 - since));
}

void LogScrollBar::sliderChange(SliderChange change)
{
    if (m_settingByLog && change != SliderOrientationChange)
        m_changedByLog = true;
    else
        QScrollBar::sliderChange(change); // repaints all of it
}

void LogScrollBar::paintEvent(QPaintEvent *event)
{
    // What is painted now shows the bar as it is. A paint of part of the bar while the
    // picture lags behind leaves the picture mixed: the next change repaints all of it.
    const BarLook now = look();
    if (event->rect().contains(rect()))
        m_shown = now;
    else if (now != m_shown)
        m_shown = BarLook{};
    m_painted.start();
    QScrollBar::paintEvent(event);
}

LogScrollBar::BarLook LogScrollBar::look() const
{
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    return {style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, this),
            opt.sliderValue <= opt.minimum, opt.sliderValue >= opt.maximum, true};
}

// Brings the picture up to the bar: only where the handle was and is, when nothing else
// about it changed.
void LogScrollBar::showLook()
{
    m_later.stop();
    const BarLook now = look();
    if (now == m_shown) return;
    if (m_shown.valid && now.atMinimum == m_shown.atMinimum && now.atMaximum == m_shown.atMaximum)
        update(m_shown.handle.united(now.handle));
    else
        update();
    m_shown = now; // as it will be once painted
}
