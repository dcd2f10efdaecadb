#include "app/FramePacer.h"

#include <algorithm>
#include <utility>

// The one frame clock of the window's thread.
class FrameClock {
public:
    static FrameClock &instance()
    {
        // Made on first use, on the window's thread, and kept until the process ends.
        static FrameClock *clock = new FrameClock;
        return *clock;
    }

    void request(FramePacer *p)
    {
        if (!p->m_pending) {
            p->m_pending = true;
            m_waiting.push_back(p);
        }
        // An update asked for while a frame is being shown joins that frame.
        if (m_running) return;
        if (!m_last.isValid() || m_last.elapsed() >= FramePacer::FrameMs) {
            // The frame is shown as soon as the event at hand is handled, so that everything
            // it brings (a line's boxes, its count, its log line) is painted together, once.
            if (m_posted) return;
            m_posted = true;
            QMetaObject::invokeMethod(
                &m_timer,
                [this] {
                    if (!std::exchange(m_posted, false)) return;
                    if (!m_waiting.empty() && !m_timer.isActive()) runFrame();
                },
                Qt::QueuedConnection);
        } else if (!m_timer.isActive()) {
            m_timer.start(int(FramePacer::FrameMs - m_last.elapsed()));
        }
    }

    void remove(FramePacer *p)
    {
        if (!p->m_pending) return;
        p->m_pending = false;
        m_waiting.erase(std::remove(m_waiting.begin(), m_waiting.end(), p), m_waiting.end());
        if (m_waiting.empty()) {
            m_timer.stop();
            m_posted = false;
        }
    }

    void restart() { m_last.start(); }

private:
    FrameClock()
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { runFrame(); });
    }

    void runFrame()
    {
        m_timer.stop();
        m_posted = false;
        m_last.start();
        m_running = true;
        // Updates may ask for more updates; those run in this frame too.
        while (!m_waiting.empty()) {
            FramePacer *p = m_waiting.front();
            m_waiting.erase(m_waiting.begin());
            p->m_pending = false;
            p->m_update();
        }
        m_running = false;
    }

    std::vector<FramePacer *> m_waiting;
    QElapsedTimer m_last;
    QTimer m_timer;
    bool m_running = false;
    bool m_posted = false; // a frame is to be shown once the event at hand is handled
};

FramePacer::FramePacer(std::function<void()> update) : m_update(std::move(update)) {}

FramePacer::~FramePacer()
{
    FrameClock::instance().remove(this);
}

void FramePacer::request()
{
    FrameClock::instance().request(this);
}

void FramePacer::runNow()
{
    FrameClock::instance().remove(this);
    FrameClock::instance().restart();
    m_update();
}

void FramePacer::cancel()
{
    FrameClock::instance().remove(this);
}
