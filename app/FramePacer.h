#pragma once
// Runs display updates at most once a frame (16 ms), and every pacer of the program in the same
// frame: an update requested when the last frame is a frame old runs as soon as the event being
// handled is over (so that all it brings is shown in one frame), together with every other
// update then pending; otherwise it runs when the frame is over, however many requests came in
// between. Lines that arrive faster than the eye can follow are then shown
// together, and the log, the boxes and the count of both links are painted in one pass.
#include <QElapsedTimer>
#include <QTimer>

#include <functional>
#include <vector>

class FramePacer {
public:
    static constexpr qint64 FrameMs = 16;

    explicit FramePacer(std::function<void()> update);
    ~FramePacer();
    FramePacer(const FramePacer &) = delete;
    FramePacer &operator=(const FramePacer &) = delete;

    void request();
    // Updates at once, alone; the next frame counts from here.
    void runNow();
    void cancel();
    bool isPending() const { return m_pending; }

private:
    friend class FrameClock;
    std::function<void()> m_update;
    bool m_pending = false;
};
