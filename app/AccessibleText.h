#pragma once
// The text handed to assistive tools. Their strings travel over D-Bus, where a string ends at a
// NUL: a reading that holds one would cut off everything after it. Each NUL is given as U+2400
// (the symbol for null) instead, one character for one, so offsets stay those of the text
// itself. What the screen shows and the files hold is not affected.
#include <QString>

inline QString accessibleText(QString text)
{
    text.replace(QChar(u'\0'), QChar(char16_t(0x2400)));
    return text;
}
