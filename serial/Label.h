#pragma once
// The label of an instrument line: everything up to and including its first ":". Both links
// strip it the same way; what a line whose ":" is out of reach means is each link's own rule.
#include <QString>

namespace serial {

// The ":" is found only at 1-based positions a 16-bit signed position can hold, below 32767.
inline constexpr qsizetype MaxLabelPosition = 32766;

enum class LabelEnd {
    Stripped,   // the label and its ":" were removed
    None,       // the text holds no ":"; it is unchanged
    OutOfReach, // the first ":" stands at position 32767 or later; the text is unchanged
};

// Removes the label from `text` in place when its ":" is within reach.
inline LabelEnd stripLabel(QString &text)
{
    const qsizetype at = text.indexOf(u':');
    if (at < 0) return LabelEnd::None;
    if (at + 1 > MaxLabelPosition) return LabelEnd::OutOfReach;
    text.remove(0, at + 1);
    return LabelEnd::Stripped;
}

} // namespace serial
