#pragma once
// Runs a display update at most once a frame (16 ms): at once when the last update is a frame
// old, otherwise once when the frame is over, however many requests came in between. Lines
// that arrive faster than the eye can follow are then shown together.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

class FramePacer : public QObject {
public:
    static constexpr qint64 FrameMs = 16;

    explicit FramePacer(std::function<void()> update, QObject *parent = nullptr)
        : QObject(parent), m_update(std::move(update))
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &FramePacer::runNow);
    }

    void request()
    {
        if (!m_last.isValid() || m_last.elapsed() >= FrameMs)
            runNow();
        else if (!m_timer.isActive())
            m_timer.start(int(FrameMs - m_last.elapsed()));
    }
    // Updates at once; the next frame counts from here.
    void runNow()
    {
        m_timer.stop();
        m_last.start();
        m_update();
    }
    void cancel() { m_timer.stop(); }
    bool isPending() const { return m_timer.isActive(); }

private:
    std::function<void()> m_update;
    QElapsedTimer m_last;
    QTimer m_timer;
};
