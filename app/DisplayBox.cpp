#include "app/DisplayBox.h"

#include "app/LineLayout.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>

namespace {

// The text as drawn: control characters and line or paragraph separators show as spaces, as a
// line edit shows them, one for one, so positions stay those of the text.
QString shownText(const QString &text)
{
    QString shown = text;
    for (QChar &c : shown) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || u == QChar::LineSeparator ||
            u == QChar::ParagraphSeparator || u == QChar::ObjectReplacementCharacter)
            c = QChar(u' ');
    }
    return shown;
}

// The frame of the line-edit look, as a read-only line edit draws it.
QStyleOptionFrame lineEditOption(const QWidget *w)
{
    QStyleOptionFrame opt;
    opt.initFrom(w);
    opt.rect = w->rect();
    opt.lineWidth = w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, w);
    opt.midLineWidth = 0;
    opt.state |= QStyle::State_Sunken | QStyle::State_ReadOnly;
    opt.features = QStyleOptionFrame::None;
    return opt;
}

constexpr int HorizontalMargin = 2; // between the text area and the text, as a line edit keeps

// Milliseconds on one clock shared by every box (for telling a triple click).
qint64 nowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return clock.elapsed();
}

} // namespace

DisplayBox::DisplayBox(QWidget *parent, Look look)
    : QFrame(parent), SelectableText(this, look == Look::Panel ? Kind::Label : Kind::LineEdit),
      m_look(look)
{
    // The box paints every pixel of itself, corners included, in the palette's window colour:
    // a new text repaints the box alone, not what lies beneath it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::IBeamCursor);
    if (look == Look::Panel) {
        setFrameShape(QFrame::Panel);
        setFrameShadow(QFrame::Sunken);
        setContentsMargins(3, 0, 3, 0);
        setFocusPolicy(Qt::ClickFocus); // as a label whose text can be selected
    } else {
        setFocusPolicy(Qt::StrongFocus);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    updateGeometryCache();
}

DisplayBox::~DisplayBox() = default;

void DisplayBox::setText(const QString &text)
{
    if (text == m_text) return;
    const QString old = std::exchange(m_text, text);
    m_shapedValid = false;
    m_layout.reset();
    m_anchor = m_cursor = int(m_text.size()); // as a line edit: no selection, cursor at the end
    m_selecting = false;
    update(m_textArea);
    emit textChanged(m_text);
    announceReplaced(old, m_text);
}

// ---- selection -----------------------------------------------------------------------------

QString DisplayBox::selectedText() const
{
    if (!hasSelectedText()) return {};
    return m_text.mid(selectionStart(), selectionEnd() - selectionStart());
}

int DisplayBox::selectionStart() const
{
    return hasSelectedText() ? std::min(m_anchor, m_cursor) : -1;
}

int DisplayBox::selectionEnd() const
{
    return hasSelectedText() ? std::max(m_anchor, m_cursor) : -1;
}

void DisplayBox::selection(int *start, int *end) const
{
    *start = std::min(m_anchor, m_cursor);
    *end = std::max(m_anchor, m_cursor);
}

void DisplayBox::setSelection(int start, int length)
{
    const int size = int(m_text.size());
    start = std::clamp(start, 0, size);
    select(start, std::clamp(start + length, 0, size));
}

void DisplayBox::select(int anchor, int cursor)
{
    const int oldStart = selectionStart(), oldEnd = selectionEnd(), oldCursor = m_cursor;
    const int size = int(m_text.size());
    m_anchor = std::clamp(anchor, 0, size);
    m_cursor = std::clamp(cursor, 0, size);
    const bool selection = oldStart != selectionStart() || oldEnd != selectionEnd();
    if (selection || (m_cursor != oldCursor && m_look == Look::LineEdit)) update(m_textArea);
    announceSelection(oldStart, oldEnd, oldCursor);
}

void DisplayBox::selectWordAt(int position)
{
    // As a line edit does: from the start of the word at the position to its end, without
    // the spaces after it.
    QTextLayout &l = layout();
    const int size = int(m_text.size());
    const int next = std::min(position + 1, size);
    const int start = l.previousCursorPosition(next, QTextLayout::SkipWords);
    int end = l.nextCursorPosition(start, QTextLayout::SkipWords);
    while (end > position && end > start && m_text.at(end - 1).isSpace())
        --end;
    select(start, end);
}

// ---- geometry and painting -----------------------------------------------------------------

void DisplayBox::updateGeometryCache()
{
    const QFontMetrics fm = fontMetrics();
    m_lineHeight = fm.height();
    if (m_look == Look::LineEdit) {
        const QStyleOptionFrame opt = lineEditOption(this);
        const QRect r = style()->subElementRect(QStyle::SE_LineEditContents, &opt, this);
        m_textArea = r;
        m_origin = QPointF(r.x() + HorizontalMargin, r.y() + (r.height() - m_lineHeight + 1) / 2);
        m_lineWidth = r.width() - 2 * HorizontalMargin;
    } else {
        // As a framed label: half an "x" in from the left, centred from top to bottom.
        const QRect cr = contentsRect();
        const int indent = frameWidth() > 0 ? fm.horizontalAdvance(u'x') / 2 : 0;
        m_textArea = cr;
        m_origin = QPointF(cr.x() + indent, cr.y() + (cr.height() - m_lineHeight) / 2);
        m_lineWidth = cr.width() - indent;
    }
    m_layout.reset();
    ++m_generation;
    update();
}

const QPixmap &DisplayBox::background()
{
    const int key = (hasFocus() ? 1 : 0) | (isEnabled() ? 2 : 0) | (isActiveWindow() ? 4 : 0) |
                    (m_generation << 3);
    const qreal dpr = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * dpr).toSize();
    if (key == m_backgroundKey && m_background.size() == pixels) return m_background;
    m_backgroundKey = key;
    m_background = QPixmap(pixels);
    m_background.setDevicePixelRatio(dpr);
    QPainter p(&m_background);
    p.fillRect(rect(), palette().brush(QPalette::Window)); // the corners: the colour around
    if (m_look == Look::LineEdit) {
        const QStyleOptionFrame opt = lineEditOption(this);
        style()->drawPrimitive(QStyle::PE_PanelLineEdit, &opt, &p, this);
    } else {
        drawFrame(&p);
    }
    return m_background;
}

const ShapedLine &DisplayBox::shaped()
{
    if (!m_shapedValid) {
        m_shaped = ShapedLine(shownText(m_text), font());
        m_shapedValid = true;
    }
    return m_shaped;
}

QTextLayout &DisplayBox::layout()
{
    if (!m_layout) m_layout = std::make_unique<LineLayout>(shownText(m_text), font());
    return m_layout->layout;
}

qreal DisplayBox::xOf(int position)
{
    if (position <= 0 || m_text.isEmpty()) return 0;
    return layout().lineAt(0).cursorToX(std::min(position, int(m_text.size())));
}

// How far the text is scrolled to the left: as a line edit, so that the cursor stays in view
// when the text is wider than the box. A panel, like a label, does not scroll.
int DisplayBox::scrollOffset()
{
    if (m_look == Look::Panel || m_text.isEmpty()) return m_hscroll = 0;
    const int widthUsed = qRound(shaped().width()) + 1;
    if (widthUsed <= m_lineWidth) return m_hscroll = 0;
    const int cix = qRound(xOf(m_cursor));
    if (cix - m_hscroll >= m_lineWidth)
        m_hscroll = cix - m_lineWidth + 1;
    else if (cix - m_hscroll < 0 && m_hscroll < widthUsed)
        m_hscroll = cix;
    else if (widthUsed - m_hscroll < m_lineWidth)
        m_hscroll = widthUsed - m_lineWidth + 1;
    else
        m_hscroll = std::max(0, m_hscroll);
    return m_hscroll;
}

void DisplayBox::paintEvent(QPaintEvent *event)
{
    QPainter p(this);
    const QRect r = event->rect();
    const QPixmap &bg = background();
    const qreal dpr = bg.devicePixelRatio();
    p.drawPixmap(QPointF(r.topLeft()), bg,
                 QRectF(QPointF(r.topLeft()) * dpr, QSizeF(r.size()) * dpr));
    if (m_text.isEmpty()) return;

    const QPalette &pal = palette();
    p.setClipRect(m_textArea & r);
    const QPointF at(m_origin.x() - scrollOffset(), m_origin.y());
    QRectF band;
    if (hasSelectedText()) {
        const qreal a = xOf(selectionStart()), b = xOf(selectionEnd());
        band = QRectF(at.x() + a, at.y(), b - a, m_lineHeight);
        p.fillRect(band, pal.color(QPalette::Highlight));
    }
    p.setPen(pal.color(m_look == Look::Panel ? QPalette::WindowText : QPalette::Text));
    shaped().draw(&p, at);
    if (!band.isEmpty()) {
        p.setClipRect(band & QRectF(m_textArea & r));
        p.setPen(pal.color(QPalette::HighlightedText));
        shaped().draw(&p, at);
    }
}

void DisplayBox::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    updateGeometryCache();
}

void DisplayBox::changeEvent(QEvent *event)
{
    QFrame::changeEvent(event);
    switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::StyleChange:
        m_shapedValid = false;
        updateGeometryCache();
        break;
    case QEvent::PaletteChange:
    case QEvent::EnabledChange:
    case QEvent::ActivationChange:
        ++m_generation;
        update();
        break;
    default:
        break;
    }
}

bool DisplayBox::event(QEvent *event)
{
    if (event->type() == QEvent::ContentsRectChange) updateGeometryCache();
    return shortcutOverridden(event) || QFrame::event(event);
}

QRect DisplayBox::characterRect(int position)
{
    position = std::clamp(position, 0, int(m_text.size()));
    const qreal x = m_origin.x() - scrollOffset() + xOf(position);
    const qreal w = position < m_text.size() ? xOf(position + 1) - xOf(position) : 1;
    return QRect(int(x), int(m_origin.y()), std::max(1, int(w)), m_lineHeight);
}

int DisplayBox::positionAt(const QPoint &point)
{
    if (m_text.isEmpty()) return 0;
    const qreal x = point.x() - (m_origin.x() - scrollOffset());
    return layout().lineAt(0).xToCursor(x);
}

QSize DisplayBox::sizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    if (m_look == Look::Panel) {
        const QMargins m = contentsMargins();
        return QSize(fm.horizontalAdvance(u'x') * 10 + m.left() + m.right() + 2 * frameWidth(),
                     fm.height() + m.top() + m.bottom() + 2 * frameWidth());
    }
    // As a line edit: room for 17 "x", the text margins and the frame.
    const int frame = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    return QSize(fm.horizontalAdvance(u'x') * 17 + 2 * HorizontalMargin + frame,
                 std::max(fm.height(), 14) + 2 + frame);
}

QSize DisplayBox::minimumSizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    return QSize(fm.horizontalAdvance(u'x'), fm.height());
}

// ---- input ---------------------------------------------------------------------------------

void DisplayBox::focusInEvent(QFocusEvent *event)
{
    QFrame::focusInEvent(event);
    // Reached with the keyboard, a line edit selects its whole text: that, with the focus
    // frame, shows where the focus is.
    const Qt::FocusReason reason = event->reason();
    if (m_look == Look::LineEdit && !hasSelectedText() &&
        (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
         reason == Qt::ShortcutFocusReason))
        selectAll();
}

void DisplayBox::focusOutEvent(QFocusEvent *event)
{
    QFrame::focusOutEvent(event);
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
        deselect();
}

void DisplayBox::keyPressEvent(QKeyEvent *event)
{
    const int size = int(m_text.size());
    const auto word = [this](int from, bool forward) {
        if (m_text.isEmpty()) return 0;
        return forward ? layout().nextCursorPosition(from, QTextLayout::SkipWords)
                       : layout().previousCursorPosition(from, QTextLayout::SkipWords);
    };
    const auto character = [this](int from, bool forward) {
        if (m_text.isEmpty()) return 0;
        return forward ? layout().nextCursorPosition(from) : layout().previousCursorPosition(from);
    };
    if (standardKeyPressed(event)) return;
    if (event->matches(QKeySequence::MoveToNextChar))
        moveCursor(character(m_cursor, true), false);
    else if (event->matches(QKeySequence::MoveToPreviousChar))
        moveCursor(character(m_cursor, false), false);
    else if (event->matches(QKeySequence::SelectNextChar))
        moveCursor(character(m_cursor, true), true);
    else if (event->matches(QKeySequence::SelectPreviousChar))
        moveCursor(character(m_cursor, false), true);
    else if (event->matches(QKeySequence::MoveToNextWord))
        moveCursor(word(m_cursor, true), false);
    else if (event->matches(QKeySequence::MoveToPreviousWord))
        moveCursor(word(m_cursor, false), false);
    else if (event->matches(QKeySequence::SelectNextWord))
        moveCursor(word(m_cursor, true), true);
    else if (event->matches(QKeySequence::SelectPreviousWord))
        moveCursor(word(m_cursor, false), true);
    else if (event->matches(QKeySequence::MoveToStartOfLine) ||
             event->matches(QKeySequence::MoveToStartOfBlock) ||
             event->matches(QKeySequence::MoveToStartOfDocument))
        moveCursor(0, false);
    else if (event->matches(QKeySequence::MoveToEndOfLine) ||
             event->matches(QKeySequence::MoveToEndOfBlock) ||
             event->matches(QKeySequence::MoveToEndOfDocument))
        moveCursor(size, false);
    else if (event->matches(QKeySequence::SelectStartOfLine) ||
             event->matches(QKeySequence::SelectStartOfBlock) ||
             event->matches(QKeySequence::SelectStartOfDocument))
        moveCursor(0, true);
    else if (event->matches(QKeySequence::SelectEndOfLine) ||
             event->matches(QKeySequence::SelectEndOfBlock) ||
             event->matches(QKeySequence::SelectEndOfDocument))
        moveCursor(size, true);
    else {
        event->ignore(); // Tab, Enter and the rest go to the window
        return;
    }
    event->accept();
}

void DisplayBox::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) return QFrame::mousePressEvent(event);
    const QPoint at = event->position().toPoint();
    if (m_doubleClickTime >= 0 &&
        nowMs() - m_doubleClickTime < QApplication::doubleClickInterval() &&
        (at - m_doubleClickPos).manhattanLength() < QApplication::startDragDistance()) {
        m_doubleClickTime = -1;
        selectAll(); // a triple click
        return;
    }
    moveCursor(positionAt(at), event->modifiers() & Qt::ShiftModifier);
    m_selecting = true;
}

void DisplayBox::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_selecting || !(event->buttons() & Qt::LeftButton)) return;
    moveCursor(positionAt(event->position().toPoint()), true);
}

void DisplayBox::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) return QFrame::mouseReleaseEvent(event);
    m_selecting = false;
    mouseSelectionDone();
}

void DisplayBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) return QFrame::mouseDoubleClickEvent(event);
    m_doubleClickPos = event->position().toPoint();
    m_doubleClickTime = nowMs();
    m_selecting = false;
    if (!m_text.isEmpty()) selectWordAt(positionAt(m_doubleClickPos));
}

void DisplayBox::contextMenuEvent(QContextMenuEvent *event)
{
    showContextMenu(event);
}
