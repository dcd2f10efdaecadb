#pragma once
// The trend's plot: each channel of one sensor against local time on the left axis, the
// pressure on its own axis at the right. Drawn with QPainter from the model's per-column
// minimum and maximum, so a picture costs the same however many points it holds. The picture
// is rebuilt at most once per two pixel columns' worth of time (between 200 ms and 1.5 s), and
// never while the window is hidden or minimised.
#include "app/trend/TrendModel.h"

#include <QImage>
#include <QPolygonF>
#include <QTimer>
#include <QWidget>

namespace trend {

class TrendPlot : public QWidget {
    Q_OBJECT
public:
    explicit TrendPlot(const TrendModel &model, QWidget *parent = nullptr);

    // What is shown: a sensor index (-1: none), the span in ms (0: all since start) and
    // whether the pressure is drawn.
    void setSensor(int sensor);
    void setSpan(qint64 ms);
    void setPressureShown(bool shown);
    int sensor() const { return m_sensor; }
    qint64 span() const { return m_span; }
    bool pressureShown() const { return m_pressureShown; }

    // New points: the picture is rebuilt soon if it is on screen.
    void dataChanged();
    // Rebuilds at once (when on screen), e.g. after the window was shown again.
    void refreshNow();

    // The time span of the current settings, [t0, t1] in ms since the epoch.
    std::pair<qint64, qint64> timeSpan() const;
    // Points in the current picture (after the latest rebuild).
    qsizetype pointsShown() const { return m_picture.points; }
    // Pictures built so far (for tests: none while hidden).
    int buildCount() const { return m_builds; }

    // Draws the whole picture for the current settings into `size` (for saving).
    void render(QPainter &painter, QSize size) const;

signals:
    // After each rebuild, with the number of points the picture holds.
    void pictureBuilt(qsizetype points);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    struct Layout {
        QRect plot;
        int legendHeight = 0;
    };
    Layout layoutFor(QSize size) const;
    void build(); // decimates into m_picture and draws m_image
    void drawPicture(QPainter &painter, const Picture &picture, QSize size) const;
    void drawHover(QPainter &painter);
    bool onScreen() const;
    int rebuildInterval() const;

    const TrendModel &m_model;
    int m_sensor = -1;
    qint64 m_span = 10 * 60 * 1000;
    bool m_pressureShown = true;
    Picture m_picture;
    QImage m_image;
    bool m_dirty = true;
    int m_builds = 0;
    QTimer m_rebuild;
    int m_hoverX = -1;
    mutable QPolygonF m_line; // reused for every series
};

} // namespace trend
