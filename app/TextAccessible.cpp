#include "app/TextAccessible.h"

#include "app/SelectableText.h"

#include <QWidget>

namespace {

QAccessible::Role roleOf(SelectableText::Kind kind)
{
    return kind == SelectableText::Kind::Label ? QAccessible::StaticText
                                               : QAccessible::EditableText;
}

} // namespace

TextAccessible::TextAccessible(QWidget *widget, SelectableText *text)
    : QAccessibleWidget(widget, roleOf(text->kind())), m_text(text)
{
}

QAccessibleInterface *TextAccessible::create(const QString &, QObject *object)
{
    if (!object || !object->isWidgetType()) return nullptr;
    auto *widget = static_cast<QWidget *>(object);
    auto *text = dynamic_cast<SelectableText *>(widget);
    return text ? new TextAccessible(widget, text) : nullptr;
}

void *TextAccessible::interface_cast(QAccessible::InterfaceType t)
{
    if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(t);
}

QAccessible::State TextAccessible::state() const
{
    // As a read-only line edit reports itself (which counts as editable text), a label whose
    // text can be selected, or a read-only text view.
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.selectableText = true;
    s.editable = m_text->kind() == SelectableText::Kind::LineEdit;
    if (m_text->kind() == SelectableText::Kind::TextView) s.multiLine = true;
    return s;
}

QString TextAccessible::text(QAccessible::Text t) const
{
    if (t == QAccessible::Value) return text(0, -1);
    QString s = QAccessibleWidget::text(t);
    // A label speaks its text when it has no name of its own.
    if (s.isEmpty() && t == QAccessible::Name && m_text->kind() == SelectableText::Kind::Label)
        s = text(0, -1);
    return s;
}

void TextAccessible::selection(int index, int *start, int *end) const
{
    *start = *end = 0;
    if (index == 0 && selectionCount() == 1) m_text->selection(start, end);
}

int TextAccessible::selectionCount() const
{
    int start = 0, end = 0;
    m_text->selection(&start, &end);
    return start != end ? 1 : 0;
}

void TextAccessible::addSelection(int start, int end)
{
    m_text->select(start, end);
}

void TextAccessible::removeSelection(int)
{
    m_text->deselect();
}

void TextAccessible::setSelection(int, int start, int end)
{
    m_text->select(start, end);
}

int TextAccessible::cursorPosition() const
{
    return m_text->cursorPosition();
}

void TextAccessible::setCursorPosition(int position)
{
    m_text->setCursorPosition(position);
}

QString TextAccessible::text(int start, int end) const
{
    return accessibleText(m_text->textRange(start, end));
}

int TextAccessible::characterCount() const
{
    return m_text->characterCount();
}

QRect TextAccessible::characterRect(int offset) const
{
    const QRect r = m_text->characterRect(offset);
    return QRect(m_text->textSurface()->mapToGlobal(r.topLeft()), r.size());
}

int TextAccessible::offsetAtPoint(const QPoint &point) const
{
    return m_text->positionAt(m_text->textSurface()->mapFromGlobal(point));
}

void TextAccessible::scrollToSubstring(int start, int)
{
    m_text->scrollToPosition(start);
}

QString TextAccessible::attributes(int, int *start, int *end) const
{
    // Plain text: no attributes, the same all through.
    *start = 0;
    *end = characterCount();
    return {};
}
