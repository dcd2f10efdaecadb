#pragma once
// The boxes and panels that show what the links announce, brought up to date together at most
// once a frame: a box is given its newest text when the frame comes, however many texts it was
// sent in between, and a box whose text did not change is not touched. Both links share one
// frame, so a reading and a pressure that arrive together are painted together.
#include "app/FramePacer.h"

#include <QString>
#include <functional>
#include <vector>

class DisplayFrame {
public:
    using Show = std::function<void(const QString &text)>;

    // A target that shows its text through `show`; the number returned names it.
    int addTarget(Show show)
    {
        m_targets.push_back({std::move(show), QString(), false});
        return int(m_targets.size()) - 1;
    }

    // `text` is shown at the next frame.
    void set(int target, const QString &text)
    {
        Target &t = m_targets[size_t(target)];
        t.text = text;
        t.dirty = true;
        m_pacer.request();
    }

    // Shows every pending text now (the next frame counts from here).
    void flush() { m_pacer.runNow(); }
    bool isPending() const { return m_pacer.isPending(); }

private:
    struct Target {
        Show show;
        QString text;
        bool dirty;
    };

    void showAll()
    {
        for (Target &t : m_targets) {
            if (!t.dirty) continue;
            t.dirty = false;
            t.show(t.text);
        }
    }

    std::vector<Target> m_targets;
    FramePacer m_pacer{[this] { showAll(); }};
};
