#pragma once
// Cuts received text into CR LF-terminated lines (the line keeps its CR LF). A CR or LF on its
// own is ordinary text; a CR ending one piece and the LF starting the next end a line. The text
// of the line still being received is bounded: past the bound its oldest text is dropped (lines
// already complete are never cut). Work is linear in the received text.
#include <QString>
#include <QStringView>

namespace serial {

class LineAssembler {
public:
    static constexpr qsizetype DefaultBound = 64 * 1024;

    explicit LineAssembler(qsizetype bound = DefaultBound) : m_bound(bound) {}

    // Appends received text. Returns true when this call had to drop old text and no drop was
    // reported since the last complete line ended (so the caller logs it once).
    bool append(QStringView text);

    // Takes the next complete line (with its CR LF) into *line; false when none is pending.
    bool takeLine(QString *line);

    // The text not yet cut off as a line.
    QString pending() const;
    qsizetype pendingSize() const;
    qsizetype droppedTotal() const { return m_droppedTotal; }

private:
    void compact();

    QString m_text;
    qsizetype m_start = 0;      // start of pending text in m_text
    qsizetype m_searchFrom = 0; // no CR LF starts before this index
    qsizetype m_tailStart = 0;  // start of the text after the last complete line
    qsizetype m_bound;
    qsizetype m_droppedTotal = 0;
    bool m_dropReported = false;
};

} // namespace serial
