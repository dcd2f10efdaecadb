#include "app/LogView.h"

#include "app/LineLayout.h"
#include "app/LogScrollBar.h"
#include "app/OwnLine.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QPainter>
#include <QScopedValueRollback>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The text a line is drawn with: control characters (garbage on the line, a lone CR) are shown
// as their visible pictures, one for one, so columns stay those of the line itself.
QString shownText(const QString &line)
{
    QString shown = line;
    for (QChar &c : shown) {
        const char16_t u = c.unicode();
        if (u < 0x20 && u != u'\t')
            c = QChar(char16_t(0x2400 + u));
        else if (u == 0x7F)
            c = QChar(char16_t(0x2421));
    }
    return shown;
}

} // namespace

LogView::LogView(QWidget *parent)
    : QAbstractScrollArea(parent), SelectableText(this, SelectableText::Kind::TextView)
{
    viewport()->setCursor(Qt::IBeamCursor);
    setFocusPolicy(Qt::StrongFocus);
    m_bar = new LogScrollBar(this);
    setVerticalScrollBar(m_bar);
    recomputeMetrics();
}

void LogView::setMaximumBlockCount(int lines)
{
    m_maxLines = std::max(0, lines);
}

int LogView::fullRows() const
{
    return std::max(1, viewport()->height() / m_lineHeight);
}

bool LogView::barPictureCurrent() const
{
    return m_bar->isPictureCurrent();
}

bool LogView::isEndInView() const
{
    return verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

void LogView::appendText(const QString &text)
{
    if (text.isEmpty()) return;
    QString plain = text;
    plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    if (text.startsWith(u'\n') && m_lines.back().endsWith(u'\r')) {
        m_lines.back().chop(1); // a CR LF split between two appends is one break too
        --m_chars;
    }
    append(plain, false);
}

void LogView::appendLine(const QString &line)
{
    // A line feed in it breaks it as in any text; a received line seldom holds one.
    if (line.contains(u'\n'))
        appendText(line + QLatin1String("\r\n"));
    else
        append(line, true);
}

// Appends `plain`, where LF breaks lines, and a line break after it when `endLine`.
void LogView::append(QStringView plain, bool endLine)
{
    if (!m_frame.isPending()) m_follow = isEndInView(); // as the operator left it at the last frame
    const qint64 oldLast = lastLine();
    const qint64 insertedAt = m_chars;

    for (qsizetype start = 0;;) {
        const qsizetype nl = plain.indexOf(u'\n', start);
        if (nl < 0) {
            m_lines.back() += plain.mid(start);
            break;
        }
        m_lines.back() += plain.mid(start, nl - start);
        m_lines.emplace_back();
        start = nl + 1;
    }
    if (endLine) m_lines.emplace_back();
    m_chars += plain.size() + (endLine ? 1 : 0);
    m_shaped.remove(oldLast); // it may have grown

    // The oldest lines make room; their picture has already scrolled away or is redrawn.
    const bool accessible = QAccessible::isActive();
    QString removed;
    qint64 removedChars = 0;
    while (m_maxLines > 0 && qint64(m_lines.size()) > m_maxLines) {
        if (accessible) removed += m_lines.front() + QLatin1Char('\n');
        removedChars += m_lines.front().size() + 1;
        m_shaped.remove(m_first);
        m_lines.pop_front();
        ++m_first;
    }
    m_chars -= removedChars;
    if (m_anchor.line < m_first || m_cursor.line < m_first) clampSelection();

    m_dirtyFrom = std::min(m_dirtyFrom, oldLast);
    m_frame.request();

    if (accessible) {
        QString added = plain.toString();
        if (endLine) added += u'\n';
        announceInserted(int(insertedAt), added);
        announceRemoved(0, removed);
    }
}

// Brings the picture up to the text: at most once a frame, however many appends came since.
// Until then the picture, its top line and the bars stay as they were drawn.
void LogView::showFrame()
{
    scrollTo(m_follow ? std::max(m_first, lastLine() + 1 - fullRows()) : std::max(m_top, m_first));
    updateLines(m_dirtyFrom, lastLine());
    m_dirtyFrom = std::numeric_limits<qint64>::max();
    syncScrollBars();
}

void LogView::appendMessage(const QString &text)
{
    appendText(logtext::ownLine(m_lines.back().isEmpty(), text));
}

void LogView::setPlainText(const QString &text)
{
    clear();
    appendText(text);
}

void LogView::clear()
{
    if (QAccessible::isActive()) announceRemoved(0, toPlainText());
    m_lines.assign(1, QString());
    m_first = m_top = m_chars = 0;
    m_widest = 0;
    m_hOffset = 0;
    m_shaped.clear();
    m_anchor = m_cursor = Pos{};
    m_selecting = false;
    m_frame.cancel();
    m_dirtyFrom = std::numeric_limits<qint64>::max();
    syncScrollBars();
    viewport()->update();
}

QString LogView::toPlainText() const
{
    QString out;
    out.reserve(qsizetype(m_chars));
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (i) out += QLatin1Char('\n');
        out += m_lines[i];
    }
    return out;
}

// Moves the picture so that `top` is the first visible line: what is already drawn is scrolled
// and only the uncovered rows are painted again.
void LogView::scrollTo(qint64 top)
{
    const qint64 shift = top - m_top;
    m_top = top;
    if (shift == 0) return;
    if (std::abs(shift) <= fullRows())
        viewport()->scroll(0, int(-shift * m_lineHeight));
    else
        viewport()->update();
}

void LogView::updateLines(qint64 from, qint64 to)
{
    const qint64 r0 = std::max<qint64>(from - m_top, 0);
    const qint64 r1 = std::min<qint64>(to - m_top, fullRows());
    if (r1 < r0) return;
    viewport()->update(
        QRect(0, int(r0 * m_lineHeight), viewport()->width(), int((r1 - r0 + 1) * m_lineHeight)));
}

void LogView::syncScrollBars()
{
    QScopedValueRollback<bool> guard(m_settingBars, true);
    const int rows = fullRows();
    const int maximum = int(std::max<qint64>(0, qint64(m_lines.size()) - rows));
    // The bar's range and value are always current; its picture follows when it changes.
    m_bar->setByLog(maximum, rows, int(m_top - m_first));
    QScrollBar *h = horizontalScrollBar();
    const int width = viewport()->width();
    h->setRange(0, std::max(0, int(std::ceil(m_widest)) + 2 * Margin - width));
    h->setPageStep(width);
    h->setSingleStep(20);
    if (h->value() != m_hOffset) {
        m_hOffset = h->value();
        viewport()->update();
    }
}

void LogView::scrollContentsBy(int dx, int dy)
{
    if (m_settingBars) return; // the picture is moved by whoever set the bars
    m_hOffset = horizontalScrollBar()->value();
    const qint64 top = m_first + verticalScrollBar()->value();
    const qint64 shift = top - m_top;
    m_top = top;
    if (std::abs(shift) <= fullRows() && std::abs(dx) < viewport()->width())
        viewport()->scroll(dx, int(-shift * m_lineHeight));
    else
        viewport()->update();
    Q_UNUSED(dy);
}

bool LogView::event(QEvent *event)
{
    return shortcutOverridden(event) || QAbstractScrollArea::event(event);
}

void LogView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    if (m_frame.isPending()) m_frame.runNow();
    const bool follow = isEndInView();
    const qint64 top = follow ? std::max(m_first, lastLine() + 1 - fullRows()) : m_top;
    m_top = std::clamp(top, m_first, std::max(m_first, lastLine()));
    syncScrollBars();
    viewport()->update();
}

void LogView::recomputeMetrics()
{
    m_lineHeight = std::max(1, QFontMetrics(font()).lineSpacing());
    m_shaped.clear();
    m_widest = 0;
    syncScrollBars();
    viewport()->update();
}

void LogView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        recomputeMetrics();
    else if (event->type() == QEvent::PaletteChange)
        viewport()->update();
}

const ShapedLine &LogView::shaped(qint64 line)
{
    auto it = m_shaped.find(line);
    if (it != m_shaped.end()) return *it;
    const ShapedLine text(shownText(lineAt(line)), font());
    if (text.width() > m_widest) {
        m_widest = text.width();
        if (!m_barsPending) { // the bars are set once the paint is over
            m_barsPending = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_barsPending = false;
                    if (!m_frame.isPending()) syncScrollBars(); // else the frame sets them
                },
                Qt::QueuedConnection);
        }
    }
    return *m_shaped.insert(line, text);
}

qreal LogView::xOf(qint64 line, int col) const
{
    const QString &s = lineAt(line);
    if (col <= 0 || s.isEmpty()) return 0;
    return LineLayout(shownText(s), font()).line.cursorToX(std::min<int>(col, int(s.size())));
}

void LogView::paintEvent(QPaintEvent *event)
{
    QPainter p(viewport());
    p.setFont(font());
    const QPalette &pal = palette();
    const QRect r = event->rect();
    const int row0 = std::max(0, r.top() / m_lineHeight);
    const int row1 = r.bottom() / m_lineHeight;
    const qreal x0 = Margin - m_hOffset;
    const Pos s0 = std::min(m_anchor, m_cursor), s1 = std::max(m_anchor, m_cursor);
    const bool selected = s0 != s1;
    for (int row = row0; row <= row1; ++row) {
        const qint64 line = m_top + row;
        if (line > lastLine()) break;
        if (line < m_first) continue; // dropped since the last frame; the next one moves up
        const int y = row * m_lineHeight;
        QRectF band;
        if (selected && line >= s0.line && line <= s1.line) {
            const qreal a = line == s0.line ? xOf(line, s0.col) : 0;
            const qreal b = line == s1.line ? xOf(line, s1.col)
                                            : xOf(line, int(lineAt(line).size())) +
                                                  QFontMetricsF(font()).horizontalAdvance(u' ');
            band = QRectF(x0 + a, y, b - a, m_lineHeight);
            p.fillRect(band, pal.color(QPalette::Highlight));
        }
        if (lineAt(line).isEmpty()) continue;
        const ShapedLine &text = shaped(line);
        p.setPen(pal.color(QPalette::Text));
        text.draw(&p, QPointF(x0, y));
        if (!band.isEmpty()) {
            p.save();
            p.setClipRect(band);
            p.setPen(pal.color(QPalette::HighlightedText));
            text.draw(&p, QPointF(x0, y));
            p.restore();
        }
    }
    // Keep the shaped text of the visible lines only.
    const qint64 keepTo = m_top + fullRows() + 1;
    if (m_shaped.size() > 2 * (keepTo - m_top)) {
        for (auto it = m_shaped.begin(); it != m_shaped.end();)
            it = it.key() < m_top || it.key() > keepTo ? m_shaped.erase(it) : std::next(it);
    }
}

// ---- selection -----------------------------------------------------------------------------

LogView::Pos LogView::posAt(const QPoint &viewportPoint) const
{
    const int row = viewportPoint.y() < 0 ? -1 : viewportPoint.y() / m_lineHeight;
    const qint64 line = std::clamp(m_top + row, m_first, lastLine());
    const QString &s = lineAt(line);
    if (s.isEmpty()) return {line, 0};
    const qreal x = viewportPoint.x() - (Margin - m_hOffset);
    return {line, LineLayout(shownText(s), font()).line.xToCursor(x)};
}

void LogView::clampSelection()
{
    const auto clamp = [this](Pos &p) {
        if (p.line < m_first) p = {m_first, 0};
    };
    clamp(m_anchor);
    clamp(m_cursor);
}

QString LogView::selectedText() const
{
    const Pos s0 = std::min(m_anchor, m_cursor), s1 = std::max(m_anchor, m_cursor);
    if (s0 == s1) return {};
    if (s0.line == s1.line) return lineAt(s0.line).mid(s0.col, s1.col - s0.col);
    QString out = lineAt(s0.line).mid(s0.col);
    for (qint64 l = s0.line + 1; l < s1.line; ++l)
        out += QLatin1Char('\n') + lineAt(l);
    out += QLatin1Char('\n') + lineAt(s1.line).left(s1.col);
    return out;
}

qint64 LogView::offsetOf(Pos p) const
{
    qint64 offset = 0;
    for (qint64 l = m_first; l < p.line; ++l)
        offset += lineAt(l).size() + 1;
    return offset + std::min<qint64>(p.col, lineAt(p.line).size());
}

LogView::Pos LogView::posOf(qint64 offset) const
{
    offset = std::clamp<qint64>(offset, 0, m_chars);
    for (qint64 l = m_first; l < lastLine(); ++l) {
        const qint64 len = lineAt(l).size();
        if (offset <= len) return {l, int(offset)};
        offset -= len + 1;
    }
    return {lastLine(), int(std::min<qint64>(offset, m_lines.back().size()))};
}

void LogView::selection(int *start, int *end) const
{
    const Pos s0 = std::min(m_anchor, m_cursor), s1 = std::max(m_anchor, m_cursor);
    *start = int(offsetOf(s0));
    *end = s0 == s1 ? *start : int(offsetOf(s1));
}

int LogView::cursorPosition() const
{
    return int(offsetOf(m_cursor));
}

void LogView::select(int anchor, int cursor)
{
    moveSelection(posOf(anchor), posOf(cursor));
}

// Every move of the selection or the cursor: the view shows it and a screen reader hears it.
void LogView::moveSelection(Pos anchor, Pos cursor)
{
    const bool heard = QAccessible::isActive();
    int oldStart = 0, oldEnd = 0, oldCursor = 0;
    if (heard) {
        selection(&oldStart, &oldEnd);
        oldCursor = cursorPosition();
    }
    m_anchor = anchor;
    m_cursor = cursor;
    viewport()->update();
    if (heard) announceSelection(oldStart, oldEnd, oldCursor);
}

QString LogView::rangeText(int start, int end) const
{
    return toPlainText().mid(start, end - start);
}

int LogView::positionAt(const QPoint &point)
{
    return int(offsetOf(posAt(point)));
}

QRect LogView::characterRect(int position)
{
    const Pos p = posOf(position);
    const qreal x = Margin - m_hOffset + xOf(p.line, p.col);
    const qreal w = p.col < lineAt(p.line).size()
                        ? QFontMetricsF(font()).horizontalAdvance(lineAt(p.line).at(p.col))
                        : 1;
    return QRect(int(x), int((p.line - m_top) * m_lineHeight), std::max(1, int(w)), m_lineHeight);
}

void LogView::scrollToPosition(int position)
{
    const qint64 line = posOf(position).line;
    if (line < m_top || line >= m_top + fullRows())
        verticalScrollBar()->setValue(int(line - m_first));
}

// ---- input ---------------------------------------------------------------------------------

// Shift with the arrow, Home, End and page keys moves the selection's end from where the last
// click or selection left it, and keeps that end in view.
bool LogView::extendSelection(QKeyEvent *event)
{
    if (!(event->modifiers() & Qt::ShiftModifier)) return false;
    const bool wholeLog = event->modifiers() & Qt::ControlModifier;
    const auto length = [this](qint64 line) { return int(lineAt(line).size()); };
    Pos p = m_cursor.line < m_first ? Pos{m_first, 0} : m_cursor;
    switch (event->key()) {
    case Qt::Key_Left:
        if (p.col > 0)
            --p.col;
        else if (p.line > m_first)
            p = {p.line - 1, length(p.line - 1)};
        break;
    case Qt::Key_Right:
        if (p.col < length(p.line))
            ++p.col;
        else if (p.line < lastLine())
            p = {p.line + 1, 0};
        break;
    case Qt::Key_Up:
    case Qt::Key_PageUp:
        p.line = std::max(m_first, p.line - (event->key() == Qt::Key_Up ? 1 : fullRows()));
        p.col = std::min(p.col, length(p.line));
        break;
    case Qt::Key_Down:
    case Qt::Key_PageDown:
        p.line = std::min(lastLine(), p.line + (event->key() == Qt::Key_Down ? 1 : fullRows()));
        p.col = std::min(p.col, length(p.line));
        break;
    case Qt::Key_Home:
        p = {wholeLog ? m_first : p.line, 0};
        break;
    case Qt::Key_End:
        p.line = wholeLog ? lastLine() : p.line;
        p.col = length(p.line);
        break;
    default:
        return false;
    }
    moveSelection(m_anchor, p);
    if (p.line < m_top)
        verticalScrollBar()->setValue(int(p.line - m_first));
    else if (p.line >= m_top + fullRows())
        verticalScrollBar()->setValue(int(p.line - m_first - fullRows() + 1));
    return true;
}

void LogView::keyPressEvent(QKeyEvent *event)
{
    QScrollBar *v = verticalScrollBar();
    if (extendSelection(event)) {
        event->accept();
        return;
    }
    if (standardKeyPressed(event)) return;
    if (event == QKeySequence::MoveToStartOfDocument || event->key() == Qt::Key_Home)
        v->triggerAction(QAbstractSlider::SliderToMinimum);
    else if (event == QKeySequence::MoveToEndOfDocument || event->key() == Qt::Key_End)
        v->triggerAction(QAbstractSlider::SliderToMaximum);
    else {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

void LogView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
    const Pos at = posAt(event->position().toPoint());
    moveSelection(event->modifiers() & Qt::ShiftModifier ? m_anchor : at, at);
    m_selecting = true;
}

void LogView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_selecting || !(event->buttons() & Qt::LeftButton)) return;
    const QPoint pt = event->position().toPoint();
    if (pt.y() < 0)
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (pt.y() > viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    moveSelection(m_anchor, posAt(pt));
}

void LogView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseReleaseEvent(event);
    m_selecting = false;
    mouseSelectionDone();
}

void LogView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseDoubleClickEvent(event);
    const qint64 line = posAt(event->position().toPoint()).line;
    moveSelection({line, 0}, {line, int(lineAt(line).size())});
}

void LogView::contextMenuEvent(QContextMenuEvent *event)
{
    showContextMenu(event);
}
