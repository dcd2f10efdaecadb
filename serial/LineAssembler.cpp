#include "serial/LineAssembler.h"

#include <algorithm>

namespace serial {

namespace {

constexpr QStringView kCrLf = u"\r\n";

// Consumed text in front of the buffer is removed once it is this large and at least half of
// the buffer, so each character is moved a bounded number of times.
constexpr qsizetype kCompactAt = 16 * 1024;

} // namespace

bool LineAssembler::append(QStringView text)
{
    if (text.isEmpty()) return false;
    const qsizetype oldSize = m_text.size();
    m_text.append(text);

    // Only the new text, plus the character before it (a CR waiting for its LF), can hold a
    // CR LF that ends a line; the last one found starts the unfinished tail.
    const qsizetype from = std::max(m_tailStart, oldSize - 1);
    const qsizetype last = QStringView(m_text).sliced(from).lastIndexOf(kCrLf);
    if (last >= 0) {
        m_tailStart = from + last + 2;
        m_dropReported = false;
    }

    const qsizetype tail = m_text.size() - m_tailStart;
    if (tail <= m_bound) return false;

    const qsizetype drop = tail - m_bound;
    if (m_start == m_tailStart) {
        m_start += drop;
        m_tailStart += drop;
    } else {
        // Complete lines are still waiting in front of the tail: cut the tail's oldest text
        // out of the middle (at most the bound plus one piece is moved).
        m_text.remove(m_tailStart, drop);
    }
    m_searchFrom = std::max(m_searchFrom, m_start);
    m_droppedTotal += drop;
    compact();

    const bool report = !m_dropReported;
    m_dropReported = true;
    return report;
}

bool LineAssembler::takeLine(QString *line)
{
    if (m_start >= m_tailStart) return false;
    // A complete line is known to end at or before m_tailStart.
    const QStringView window = QStringView(m_text).sliced(m_searchFrom, m_tailStart - m_searchFrom);
    const qsizetype at = window.indexOf(kCrLf);
    Q_ASSERT(at >= 0);
    const qsizetype end = m_searchFrom + at + 2;
    if (line) *line = m_text.sliced(m_start, end - m_start);
    m_start = end;
    m_searchFrom = end;
    compact();
    return true;
}

void LineAssembler::compact()
{
    if (m_start == m_text.size()) {
        m_text.resize(0); // keeps the allocation for the next piece
    } else if (m_start >= kCompactAt && m_start * 2 >= m_text.size()) {
        m_text.remove(0, m_start);
    } else {
        return;
    }
    m_searchFrom -= m_start;
    m_tailStart -= m_start;
    m_start = 0;
}

QString LineAssembler::pending() const
{
    return m_text.sliced(m_start);
}

qsizetype LineAssembler::pendingSize() const
{
    return m_text.size() - m_start;
}

} // namespace serial
