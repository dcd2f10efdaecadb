#pragma once
// The log's vertical bar. While the log grows, its range changes at every frame, but its handle
// moves or shrinks by a pixel only every so many lines: a range or value change the log makes
// repaints only the handle's old and new place, only when they differ, and at most every
// 250 ms (a repaint of the whole bar repaints the log's frame and the window beneath it too).
// Whatever the operator does with the bar repaints it at once, as any bar does.
#include <QElapsedTimer>
#include <QRect>
#include <QScrollBar>
#include <QTimer>

class LogScrollBar : public QScrollBar {
public:
    explicit LogScrollBar(QWidget *parent);

    bool isPictureCurrent() const { return !m_later.isActive(); }

    // The log sets the bar's range, step and value together; the picture follows once they are
    // all set (a range that grows first leaves the handle off the end for a moment).
    void setByLog(int maximum, int pageStep, int value);

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent *event) override;

private:
    // The bar's picture: where its handle is and how long, and whether it sits at an end.
    struct BarLook {
        QRect handle;
        bool atMinimum = false;
        bool atMaximum = false;
        bool valid = false;
        bool operator==(const BarLook &) const = default;
    };

    BarLook look() const;
    void showLook();

    BarLook m_shown;
    QElapsedTimer m_painted;
    QTimer m_later;
    bool m_settingByLog = false;
    bool m_changedByLog = false;
};
