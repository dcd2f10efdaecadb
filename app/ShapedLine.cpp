#include "app/ShapedLine.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>
#include <QRawFont>
#include <QTextLayout>

#include <array>
#include <climits>
#include <memory>
#include <vector>

namespace {

// The characters a line may be put together from: printable ASCII.
constexpr char16_t FirstChar = 0x20;
constexpr char16_t LastChar = 0x7E;
constexpr int CharCount = LastChar - FirstChar + 1;
// Longer lines are shaped whole: the layout splits very long runs of text by itself.
constexpr qsizetype MaxComposed = 1024;

constexpr qint32 Unknown = INT_MIN;
constexpr qint32 Refused = INT_MIN + 1;

// Positions and advances are whole 64ths of a pixel in the layout.
qint32 toFixed(qreal x)
{
    return qint32(qRound(x * 64));
}

// `text` laid out as QStaticText lays it out: one line, its leading included, no width limit.
struct Reference {
    Reference(const QString &text, const QFont &font) : layout(text, font)
    {
        layout.setCacheEnabled(true);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLeadingIncluded(true);
        line.setLineWidth(INT_MAX / 256); // as QStaticText sets a line without a width
        line.setPosition(QPointF(0, 0));
        layout.endLayout();
        runs = layout.glyphRuns();
        width = layout.boundingRect().width();
    }
    QTextLayout layout;
    QList<QGlyphRun> runs;
    qreal width = 0;
};

// What one font's characters and pairs have been found to be.
class FontTables {
public:
    FontTables(const QFont &font, const QFontMetricsF &metrics)
        : m_font(font), m_lineSpacing(metrics.lineSpacing()),
          m_charWidth(metrics.averageCharWidth()), m_pair(size_t(CharCount) * CharCount, Unknown)
    {
    }

    bool isFor(const QFont &font, const QFontMetricsF &metrics) const
    {
        // The metrics tell fonts apart that only differ in the screen they are for.
        return font == m_font && metrics.lineSpacing() == m_lineSpacing &&
               metrics.averageCharWidth() == m_charWidth;
    }

    bool compose(const QString &text, QGlyphRun *run, qreal *width)
    {
        const qsizetype n = text.size();
        QList<quint32> glyphs(n);
        QList<QPointF> positions(n);
        qint32 x = 0;
        for (qsizetype i = 0; i < n; ++i) {
            const char16_t c = text.at(i).unicode();
            if (c < FirstChar || c > LastChar) return false;
            const Single &s = single(c);
            if (s.advance == Refused) return false;
            glyphs[i] = s.glyph;
            positions[i] = QPointF(x / 64.0, m_baseline);
            qint32 advance = s.advance;
            if (i + 1 < n) {
                const char16_t next = text.at(i + 1).unicode();
                if (next < FirstChar || next > LastChar) return false;
                advance = pair(c, next);
                if (advance == Refused) return false;
            }
            x += advance;
        }
        run->setRawFont(m_raw);
        run->setGlyphIndexes(glyphs);
        run->setPositions(positions);
        *width = x / 64.0;
        return true;
    }

private:
    struct Single {
        quint32 glyph = 0;
        qint32 advance = Unknown; // Refused: the character is not put together from its glyph
    };

    // True when `run` is drawn in this font's face (the first run seen sets the face) on the
    // one baseline every glyph of a put-together line sits on.
    bool sameFace(const QGlyphRun &run, qreal y)
    {
        if (!m_raw.isValid()) {
            m_raw = run.rawFont();
            m_baseline = y;
            return m_raw.isValid();
        }
        return run.rawFont() == m_raw && y == m_baseline;
    }

    const Single &single(char16_t c)
    {
        Single &s = m_single[size_t(c - FirstChar)];
        if (s.advance != Unknown) return s;
        s.advance = Refused;
        const Reference r(QString(QChar(c)), m_font);
        if (r.runs.size() != 1) return s;
        const QGlyphRun &run = r.runs.front();
        const QList<quint32> glyphs = run.glyphIndexes();
        const QList<QPointF> positions = run.positions();
        if (glyphs.size() != 1 || positions.size() != 1 || positions[0].x() != 0 ||
            !sameFace(run, positions[0].y()))
            return s;
        s.glyph = glyphs[0];
        s.advance = toFixed(r.width);
        return s;
    }

    // The advance of `a` when `b` follows it: its own, moved by the pair's kerning.
    qint32 pair(char16_t a, char16_t b)
    {
        qint32 &advance = m_pair[size_t(a - FirstChar) * CharCount + size_t(b - FirstChar)];
        if (advance != Unknown) return advance;
        advance = Refused;
        const Single &sa = single(a);
        const Single &sb = single(b);
        if (sa.advance == Refused || sb.advance == Refused) return advance;
        const Reference r(QString(QChar(a)) + QChar(b), m_font);
        if (r.runs.size() != 1) return advance;
        const QGlyphRun &run = r.runs.front();
        const QList<quint32> glyphs = run.glyphIndexes();
        const QList<QPointF> positions = run.positions();
        // Two glyphs, the characters' own, side by side on the baseline: anything else (a
        // ligature, a mark, a glyph moved up or down) is left to the shaper.
        if (glyphs.size() != 2 || positions.size() != 2 || glyphs[0] != sa.glyph ||
            glyphs[1] != sb.glyph || positions[0].x() != 0 || !sameFace(run, positions[0].y()) ||
            positions[1].y() != m_baseline)
            return advance;
        advance = toFixed(positions[1].x());
        return advance;
    }

    const QFont m_font;
    const qreal m_lineSpacing;
    const qreal m_charWidth;
    QRawFont m_raw;
    qreal m_baseline = 0;
    std::array<Single, CharCount> m_single{};
    std::vector<qint32> m_pair;
};

FontTables &tablesFor(const QFont &font)
{
    // A handful of fonts at most: the boxes', the panels' and the log's.
    static std::vector<std::unique_ptr<FontTables>> tables;
    const QFontMetricsF metrics(font);
    for (size_t i = 0; i < tables.size(); ++i) {
        if (!tables[i]->isFor(font, metrics)) continue;
        if (i > 0) std::swap(tables[i], tables[0]); // most recent first
        return *tables[0];
    }
    constexpr size_t Kept = 8;
    if (tables.size() >= Kept) tables.pop_back();
    tables.insert(tables.begin(), std::make_unique<FontTables>(font, metrics));
    return *tables.front();
}

} // namespace

bool ShapedLine::compose(const QString &text, const QFont &font, QGlyphRun *run, qreal *width)
{
    // Right-to-left surroundings may reorder even these characters.
    if (text.size() > MaxComposed || QGuiApplication::layoutDirection() != Qt::LeftToRight)
        return false;
    if (text.isEmpty()) {
        *run = QGlyphRun();
        *width = 0;
        return true;
    }
    return tablesFor(font).compose(text, run, width);
}

ShapedLine::ShapedLine(const QString &text, const QFont &font)
{
    m_composed = compose(text, font, &m_run, &m_width);
    if (m_composed) return;
    m_shaped = QStaticText(text);
    m_shaped.setTextFormat(Qt::PlainText);
    m_shaped.prepare(QTransform(), font);
    m_width = m_shaped.size().width();
}

void ShapedLine::draw(QPainter *painter, const QPointF &topLeft) const
{
    if (!m_composed)
        painter->drawStaticText(topLeft, m_shaped);
    else if (!m_run.glyphIndexes().isEmpty())
        painter->drawGlyphRun(topLeft, m_run);
}
