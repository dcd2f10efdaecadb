#pragma once
// The traffic and message log: a read-only text view that keeps its most recent lines.
//
// The log takes a line several times a second for days, so showing one costs the same whatever
// the log holds: an append while the end is in view scrolls the picture already on screen and
// draws only the new lines, each line's shaped text is kept while it is visible, and the oldest
// lines go once the bound is reached. The text can be selected, copied and read by a screen
// reader like any other text box.
#include "app/FramePacer.h"
#include "app/SelectableText.h"
#include "app/ShapedLine.h"

#include <QAbstractScrollArea>
#include <QHash>
#include <QString>

#include <deque>
#include <limits>

class LogScrollBar;

class LogView : public QAbstractScrollArea, public SelectableText {
    Q_OBJECT

public:
    explicit LogView(QWidget *parent = nullptr);

    // Appends `text` at the very end. CR LF is one line break; the last line may be continued
    // by the next append.
    void appendText(const QString &text);
    // Appends a received line: its text continues the last line, which it then ends.
    void appendLine(const QString &line);
    // Appends a message of the program's own on a line of its own: it starts a new line unless
    // the log ends at the start of one, and ends its line, so what follows starts afresh too.
    void appendMessage(const QString &text);
    void setPlainText(const QString &text);
    void clear();
    QString toPlainText() const;

    // Lines held, at least one (an empty log is one empty line).
    int blockCount() const { return int(m_lines.size()); }
    int maximumBlockCount() const { return m_maxLines; }
    void setMaximumBlockCount(int lines);

    bool isEndInView() const;
    // True once the picture and the scroll bar show all the text appended so far.
    bool isPictureCurrent() const
    {
        return !m_frame.isPending() && !m_barsPending && barPictureCurrent();
    }

    // The text and the selection by positions in toPlainText(); the geometry in the viewport's
    // coordinates.
    int characterCount() const override { return int(m_chars); }
    QString selectedText() const override;
    void selection(int *start, int *end) const override;
    int cursorPosition() const override;
    void select(int anchor, int cursor) override;
    QWidget *textSurface() const override { return viewport(); }
    QRect characterRect(int position) override;
    int positionAt(const QPoint &point) override;
    void scrollToPosition(int position) override;

protected:
    QString rangeText(int start, int end) const override;
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    struct Pos {
        qint64 line = 0; // absolute line number: lines dropped so far plus the index
        int col = 0;
        auto operator<=>(const Pos &) const = default;
    };

    void append(QStringView plain, bool endLine);
    bool barPictureCurrent() const;
    qint64 lastLine() const { return m_first + qint64(m_lines.size()) - 1; }
    const QString &lineAt(qint64 line) const { return m_lines[size_t(line - m_first)]; }
    int fullRows() const;
    void showFrame();
    void syncScrollBars();
    void scrollTo(qint64 top);
    void updateLines(qint64 from, qint64 to);
    void recomputeMetrics();
    const ShapedLine &shaped(qint64 line);
    Pos posAt(const QPoint &viewportPoint) const;
    qreal xOf(qint64 line, int col) const;
    qint64 offsetOf(Pos p) const;
    Pos posOf(qint64 offset) const;
    void moveSelection(Pos anchor, Pos cursor);
    void clampSelection();
    bool extendSelection(QKeyEvent *event);

    static constexpr int Margin = 4; // left of the text, in pixels
    std::deque<QString> m_lines{QString()};
    qint64 m_first = 0; // absolute number of m_lines.front()
    qint64 m_top = 0;   // absolute number of the top visible line
    qint64 m_chars = 0; // length of toPlainText()
    int m_maxLines = 0; // 0: no bound
    int m_lineHeight = 1;
    int m_hOffset = 0;
    qreal m_widest = 0; // widest line shown so far
    bool m_settingBars = false;
    bool m_barsPending = false;
    QHash<qint64, ShapedLine> m_shaped;
    LogScrollBar *m_bar = nullptr;
    FramePacer m_frame{[this] { showFrame(); }};
    bool m_follow = true;
    qint64 m_dirtyFrom = std::numeric_limits<qint64>::max(); // first line changed since

    Pos m_anchor, m_cursor;
    bool m_selecting = false;
};
