#pragma once
// What a screen reader gets from a box or the log: the text, by offsets, the selection and the
// cursor, each character's place on the screen, and the character at a point.
//
// Strings reach a screen reader over D-Bus, where a string ends at a NUL: a reading that holds
// one would cut off everything after it. Each NUL is given as U+2400 (the symbol for null)
// instead, one character for one, so offsets stay those of the text itself. What the screen
// shows and the files hold is not affected.
#include <QAccessibleWidget>

class SelectableText;

// The text as handed to a screen reader.
inline QString accessibleText(QString text)
{
    text.replace(QChar(u'\0'), QChar(char16_t(0x2400)));
    return text;
}

class TextAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    TextAccessible(QWidget *widget, SelectableText *text);

    // The accessibility factory's entry: an adapter for every widget with a selectable text.
    static QAccessibleInterface *create(const QString &className, QObject *object);

    void *interface_cast(QAccessible::InterfaceType t) override;
    QAccessible::State state() const override;
    QString text(QAccessible::Text t) const override;

    void selection(int index, int *start, int *end) const override;
    int selectionCount() const override;
    void addSelection(int start, int end) override;
    void removeSelection(int index) override;
    void setSelection(int index, int start, int end) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int start, int end) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int start, int end) override;
    QString attributes(int offset, int *start, int *end) const override;

private:
    SelectableText *m_text;
};
