#pragma once
// The trend's plot: each channel of one sensor against local time on the left axis, the
// pressure on its own axis at the right. Drawn with QPainter from the model's per-column
// minimum and maximum, so a picture costs the same however many points it holds. A fixed span
// covers whole pixel columns of whole milliseconds, so that as time moves on the picture on
// screen is shifted and only the new columns and the time labels are drawn; the whole picture
// is drawn again only when an axis, the legend or the size changes. A frame comes at most once
// per pixel column's worth of time (between 50 ms and 1.5 s), never while the window is hidden
// or minimised.
#include "app/trend/TrendModel.h"

#include <QHash>
#include <QImage>
#include <QPolygonF>
#include <QStaticText>
#include <QTimer>
#include <QWidget>

#include <vector>

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
    // Pictures built so far (for tests: none while hidden), and of them those drawn whole.
    int buildCount() const { return m_builds; }
    int fullDrawCount() const { return m_fullDraws; }

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
    struct Axis {
        double lo = 0, hi = 1;
        bool valid = false;
        double y(double v, const QRect &plot) const
        {
            return plot.top() + (hi - v) / (hi - lo) * plot.height();
        }
        bool operator==(const Axis &) const = default;
    };
    // What the picture in m_image shows, to tell whether a shift brings it up to date.
    struct Drawn {
        bool valid = false;
        QSize size;
        qreal dpr = 1;
        int sensor = -1;
        bool pressure = false;
        bool antialiased = false;
        Axis left, right;
        QString legend;
        qint64 columnMs = 0;  // a fixed span's column width, 0 for "All"
        qint64 endColumn = 0; // the last column's number since the epoch
    };
    Layout layoutFor(QSize size) const;
    // The span a picture of `size` shows: a fixed one in whole columns of whole milliseconds.
    std::pair<qint64, qint64> pictureSpan(QSize size, qint64 *columnMs) const;
    void build(); // decimates into m_picture and brings m_image up to date
    Axis axisFor(double lo, double hi, const Axis &now) const;
    QString legendKey() const;
    // Draws all of `picture`, or (from `firstColumn` > 0 on) only what the painter's clip lets
    // through: column 0, the columns from `firstColumn` on and the labels.
    void drawPicture(QPainter &painter, const Picture &picture, QSize size, const Axis &left,
                     const Axis &right, int firstColumn = 0) const;
    // Its parts, in the order drawn: the legend (whole pictures only), the value axes and the
    // time axis with their grid lines and labels, then each series inside the frame.
    void drawLegend(QPainter &painter, const Picture &picture, const QRect &plot, int width) const;
    void drawValueAxes(QPainter &painter, const QRect &plot, const Axis &left,
                       const Axis &right) const;
    void drawTimeAxis(QPainter &painter, const Picture &picture, const QRect &plot,
                      int width) const;
    void drawSeries(QPainter &painter, const Picture &picture, const QRect &plot, int series,
                    const Axis &axis, int firstColumn) const;
    int labelWidth(const QString &text) const;
    const QStaticText &label(const QString &text) const;
    void drawText(QPainter &painter, int x, int y, const QString &text) const;
    void drawHover(QPainter &painter);
    bool onScreen() const;
    int rebuildInterval() const;

    const TrendModel &m_model;
    int m_sensor = -1;
    qint64 m_span = 10 * 60 * 1000;
    bool m_pressureShown = true;
    Picture m_picture;
    QImage m_image;
    Drawn m_drawn;
    // The pictures of the sensors shown most recently before (readings of several sensors by
    // turns move the choice between them), newest first.
    struct Kept {
        QImage image;
        Drawn drawn;
    };
    std::vector<Kept> m_kept;
    int m_changedSensor = -2; // the sensor of the picture on screen
    QRect m_changed;          // what the latest build changed in m_image
    bool m_dirty = true;
    int m_builds = 0;
    int m_fullDraws = 0;
    mutable QHash<QString, QStaticText> m_texts; // labels, laid out once
    QTimer m_rebuild;
    int m_hoverX = -1;
    mutable QPolygonF m_line; // reused for every series
};

} // namespace trend
