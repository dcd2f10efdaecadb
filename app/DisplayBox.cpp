#include "app/DisplayBox.h"

#include "app/AccessibleText.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTextLayout>

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

class DisplayBoxAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit DisplayBoxAccessible(DisplayBox *box)
        : QAccessibleWidget(box, box->look() == DisplayBox::Look::Panel ? QAccessible::StaticText
                                                                        : QAccessible::EditableText)
    {
    }

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QAccessible::State state() const override
    {
        // As a read-only line edit reports itself (which counts as editable text), or a label.
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.editable = box()->look() == DisplayBox::Look::LineEdit;
        s.selectableText = true;
        return s;
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value) return accessibleText(box()->text());
        QString s = QAccessibleWidget::text(t);
        // A panel speaks its text, as a label does.
        if (s.isEmpty() && t == QAccessible::Name && box()->look() == DisplayBox::Look::Panel)
            s = accessibleText(box()->text());
        return s;
    }

    void selection(int index, int *start, int *end) const override
    {
        *start = *end = 0;
        if (index == 0 && box()->hasSelectedText()) {
            *start = box()->selectionStart();
            *end = box()->selectionEnd();
        }
    }
    int selectionCount() const override { return box()->hasSelectedText() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { box()->deselect(); }
    void setSelection(int, int start, int end) override { box()->setSelection(start, end - start); }
    int cursorPosition() const override { return box()->cursorPosition(); }
    void setCursorPosition(int position) override { box()->setCursorPosition(position); }
    QString text(int start, int end) const override
    {
        const QString all = box()->text();
        if (end < 0 || end > all.size()) end = int(all.size());
        start = std::clamp(start, 0, end);
        return accessibleText(all.mid(start, end - start));
    }
    int characterCount() const override { return int(box()->text().size()); }
    QRect characterRect(int offset) const override
    {
        const QRect r = box()->characterRect(offset);
        return QRect(box()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        return box()->positionAt(box()->mapFromGlobal(point));
    }
    void scrollToSubstring(int start, int) override { box()->setCursorPosition(start); }
    QString attributes(int offset, int *start, int *end) const override
    {
        *start = *end = offset;
        return {};
    }

private:
    DisplayBox *box() const { return static_cast<DisplayBox *>(widget()); }
};

QAccessibleInterface *displayBoxAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("DisplayBox") && object && object->isWidgetType())
        return new DisplayBoxAccessible(static_cast<DisplayBox *>(object));
    return nullptr;
}

} // namespace

DisplayBox::DisplayBox(QWidget *parent, Look look) : QFrame(parent), m_look(look)
{
    static const bool factoryInstalled = (QAccessible::installFactory(displayBoxAccessible), true);
    Q_UNUSED(factoryInstalled);
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
    if (!QAccessible::isActive()) return; // nobody listens: nothing to build
    QAccessibleTextUpdateEvent changed(this, 0, accessibleText(old), accessibleText(m_text));
    QAccessible::updateAccessibility(&changed);
    if (m_look == Look::Panel && accessibleName().isEmpty()) { // a label's name is its text
        QAccessibleEvent renamed(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&renamed);
    }
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

void DisplayBox::setSelection(int start, int length)
{
    const int size = int(m_text.size());
    start = std::clamp(start, 0, size);
    const int end = std::clamp(start + length, 0, size);
    moveCursor(start, false);
    moveCursor(end, true);
}

void DisplayBox::selectAll()
{
    setSelection(0, int(m_text.size()));
}

void DisplayBox::deselect()
{
    moveCursor(m_cursor, false);
}

void DisplayBox::setCursorPosition(int position)
{
    moveCursor(position, false);
}

void DisplayBox::copy() const
{
    if (hasSelectedText()) QGuiApplication::clipboard()->setText(selectedText());
}

void DisplayBox::moveCursor(int position, bool mark)
{
    const int oldStart = selectionStart(), oldEnd = selectionEnd(), oldCursor = m_cursor;
    m_cursor = std::clamp(position, 0, int(m_text.size()));
    if (!mark) m_anchor = m_cursor;
    selectionChanged(oldStart, oldEnd, oldCursor);
}

void DisplayBox::selectionChanged(int oldStart, int oldEnd, int oldCursor)
{
    const bool selection = oldStart != selectionStart() || oldEnd != selectionEnd();
    if (selection || (m_cursor != oldCursor && m_look == Look::LineEdit)) update(m_textArea);
    if (!QAccessible::isActive()) return;
    if (m_cursor != oldCursor) {
        QAccessibleTextCursorEvent moved(this, m_cursor);
        QAccessible::updateAccessibility(&moved);
    }
    if (selection) {
        QAccessibleTextSelectionEvent selected(this, hasSelectedText() ? selectionStart() : -1,
                                               hasSelectedText() ? selectionEnd() : -1);
        QAccessible::updateAccessibility(&selected);
    }
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
    moveCursor(start, false);
    moveCursor(end, true);
}

QMenu *DisplayBox::createStandardContextMenu()
{
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("qt_edit_menu"));
    QAction *copyAction = menu->addAction(tr("&Copy"), this, &DisplayBox::copy);
    copyAction->setObjectName(QStringLiteral("edit-copy"));
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(hasSelectedText());
    menu->addSeparator();
    QAction *all = menu->addAction(tr("Select All"), this, &DisplayBox::selectAll);
    all->setObjectName(QStringLiteral("select-all"));
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(!m_text.isEmpty() && selectedText().size() != m_text.size());
    return menu;
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
    if (!m_layout) {
        m_layout = std::make_unique<QTextLayout>(shownText(m_text), font());
        m_layout->beginLayout();
        m_layout->createLine();
        m_layout->endLayout();
    }
    return *m_layout;
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
    if (event->type() == QEvent::ContentsRectChange) {
        updateGeometryCache();
    } else if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::SelectAll)) {
            event->accept();
            return true;
        }
    }
    return QFrame::event(event);
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
    if (event->matches(QKeySequence::Copy))
        copy();
    else if (event->matches(QKeySequence::SelectAll))
        selectAll();
    else if (event->matches(QKeySequence::MoveToNextChar))
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
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (clipboard->supportsSelection() && hasSelectedText())
        clipboard->setText(selectedText(), QClipboard::Selection);
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
    QMenu *menu = createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}
