#pragma once
// Cuts received text into CR LF-terminated lines (the line keeps its CR LF). A CR or LF on its
// own is ordinary text. The pending text is bounded: past the bound the oldest text is dropped.
#include <QString>
#include <QStringView>

namespace serial {

class LineAssembler {
public:
    static constexpr qsizetype DefaultBound = 64 * 1024;

    explicit LineAssembler(qsizetype bound = DefaultBound) : m_bound(bound) {}

    // Appends received text. Returns true when this call had to drop old text and no drop was
    // reported since the last complete line (so the caller logs it once).
    bool append(QStringView text);

    // Takes the next complete line (with its CR LF) into *line; false when none is pending.
    bool takeLine(QString *line);

    // The text not yet cut off as a line.
    QString pending() const;
    qsizetype pendingSize() const;
    qsizetype droppedTotal() const { return m_droppedTotal; }

private:
    QString m_text;
    qsizetype m_start = 0;       // start of pending text in m_text
    qsizetype m_searchFrom = 0;  // no CR LF starts before this index
    qsizetype m_bound;
    qsizetype m_droppedTotal = 0;
    bool m_dropReported = false;
};

} // namespace serial
