#pragma once
// One line of text laid out by Qt's text engine, for what drawing alone does not need: positions
// and widths of characters, the character at a point, word and character steps, the selection's
// edges. Built only while the operator works with the text, never for a new text.
#include <QTextLayout>

struct LineLayout {
    LineLayout(const QString &text, const QFont &font) : layout(text, font)
    {
        layout.beginLayout();
        line = layout.createLine();
        layout.endLayout();
    }
    QTextLayout layout;
    QTextLine line;
};
