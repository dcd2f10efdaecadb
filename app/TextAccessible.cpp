#include "app/TextAccessible.h"

#include "app/SelectableText.h"

#include <QAccessibleWidget>
#include <QWidget>

namespace {

class TextAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    TextAccessible(QWidget *widget, SelectableText *text)
        : QAccessibleWidget(widget, text->kind() == SelectableText::Kind::Label
                                        ? QAccessible::StaticText
                                        : QAccessible::EditableText),
          m_text(text)
    {
    }

    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QAccessible::State state() const override
    {
        // As a read-only line edit reports itself (which counts as editable text), a label
        // whose text can be selected, or a read-only text view.
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.selectableText = true;
        s.editable = m_text->kind() == SelectableText::Kind::LineEdit;
        if (m_text->kind() == SelectableText::Kind::TextView) s.multiLine = true;
        return s;
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value) return text(0, -1);
        QString s = QAccessibleWidget::text(t);
        // A label speaks its text when it has no name of its own.
        if (s.isEmpty() && t == QAccessible::Name && m_text->kind() == SelectableText::Kind::Label)
            s = text(0, -1);
        return s;
    }

    void selection(int index, int *start, int *end) const override
    {
        *start = *end = 0;
        if (index == 0 && selectionCount() == 1) m_text->selection(start, end);
    }
    int selectionCount() const override
    {
        int start = 0, end = 0;
        m_text->selection(&start, &end);
        return start != end ? 1 : 0;
    }
    void addSelection(int start, int end) override { m_text->select(start, end); }
    void removeSelection(int) override { m_text->deselect(); }
    void setSelection(int, int start, int end) override { m_text->select(start, end); }
    int cursorPosition() const override { return m_text->cursorPosition(); }
    void setCursorPosition(int position) override { m_text->setCursorPosition(position); }
    QString text(int start, int end) const override
    {
        return accessibleText(m_text->textRange(start, end));
    }
    int characterCount() const override { return m_text->characterCount(); }
    QRect characterRect(int offset) const override
    {
        const QRect r = m_text->characterRect(offset);
        return QRect(m_text->textSurface()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        return m_text->positionAt(m_text->textSurface()->mapFromGlobal(point));
    }
    void scrollToSubstring(int start, int) override { m_text->scrollToPosition(start); }
    QString attributes(int, int *start, int *end) const override
    {
        // Plain text: no attributes, the same all through.
        *start = 0;
        *end = characterCount();
        return {};
    }

private:
    SelectableText *m_text;
};

} // namespace

QAccessibleInterface *textAccessible(const QString &, QObject *object)
{
    if (!object || !object->isWidgetType()) return nullptr;
    auto *widget = static_cast<QWidget *>(object);
    auto *text = dynamic_cast<SelectableText *>(widget);
    return text ? new TextAccessible(widget, text) : nullptr;
}
