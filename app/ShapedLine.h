#pragma once
// One line of text laid out for drawing, as QStaticText lays it out and draws it, for the boxes
// and the log, which are given a new text many times a second.
//
// Shaping a text (finding its glyphs and placing them, kerning included) is most of what a new
// text costs. The texts shown here are mostly made of a few dozen characters (digits, letters,
// signs): each character's glyph and each pair's kerned advance are shaped once per font and
// kept, and a line of such characters is put together from them, glyph for glyph and position
// for position what shaping the whole line gives. A line with any other character, or with a
// pair the font joins or moves otherwise (a ligature), is shaped whole, as before.
#include <QFont>
#include <QGlyphRun>
#include <QStaticText>
#include <QString>

class QPainter;

class ShapedLine {
public:
    ShapedLine() = default;
    ShapedLine(const QString &text, const QFont &font);

    // Draws the line with its top left corner at `topLeft`, in the painter's pen.
    void draw(QPainter *painter, const QPointF &topLeft) const;
    // The width of its text as laid out, trailing spaces included, as QStaticText gives it.
    qreal width() const { return m_width; }
    // True when the line was put together from kept glyphs rather than shaped whole.
    bool isComposed() const { return m_composed; }

    // The glyphs of `text` put together as described above, with positions relative to the
    // line's top left corner; false (and nothing set) when the text must be shaped whole.
    static bool compose(const QString &text, const QFont &font, QGlyphRun *run, qreal *width);

private:
    QGlyphRun m_run;      // composed
    QStaticText m_shaped; // shaped whole
    bool m_composed = false;
    qreal m_width = 0;
};
