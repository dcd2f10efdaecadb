#pragma once
// What a screen reader gets from a box or the log: the text, by offsets, the selection and the
// cursor, each character's place on the screen, and the character at a point.
//
// Strings reach a screen reader over D-Bus, where a string ends at a NUL: a reading that holds
// one would cut off everything after it. Each NUL is given as U+2400 (the symbol for null)
// instead, one character for one, so offsets stay those of the text itself. What the screen
// shows and the files hold is not affected.
#include <QString>

class QAccessibleInterface;
class QObject;

// The text as handed to a screen reader.
inline QString accessibleText(QString text)
{
    text.replace(QChar(u'\0'), QChar(char16_t(0x2400)));
    return text;
}

// The accessibility factory's entry: the adapter of every widget with a selectable text
// (SelectableText), null for any other object.
QAccessibleInterface *textAccessible(const QString &className, QObject *object);
