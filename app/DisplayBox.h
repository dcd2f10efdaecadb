#pragma once
// A box that shows a text the program writes: a reading, a count, the time. It looks like a
// read-only line edit (or, as a panel, like a sunken label) and gives the operator what a text
// box gives: focus, selection by mouse and keyboard, copy, a context menu, and the text for a
// screen reader, which hears it change.
//
// A new text costs one laid-out line (ShapedLine) and one repaint of the box's text area: the
// frame and background are a cached picture, there is no cursor blink, no text layout unless
// the operator selects, and no style lookup per change.
#include "app/SelectableText.h"
#include "app/ShapedLine.h"

#include <QFrame>
#include <QPixmap>
#include <QString>

#include <memory>

class QTextLayout;
struct LineLayout;

class DisplayBox : public QFrame, public SelectableText {
    Q_OBJECT

public:
    enum class Look {
        LineEdit, // a read-only line edit: tab focus, a focus frame
        Panel     // a status bar panel: a sunken frame, focus by click only
    };

    explicit DisplayBox(QWidget *parent = nullptr, Look look = Look::LineEdit);
    ~DisplayBox() override;

    void setText(const QString &text);
    QString text() const { return m_text; }
    void clear() { setText(QString()); }
    Look look() const { return m_look; }

    // Selection and cursor, in positions of text(), as on a line edit; the geometry in the box's
    // own coordinates.
    bool hasSelectedText() const { return m_anchor != m_cursor; }
    int selectionStart() const; // -1 without a selection
    int selectionEnd() const;   // -1 without a selection
    void setSelection(int start, int length);
    int characterCount() const override { return int(m_text.size()); }
    QString selectedText() const override;
    void selection(int *start, int *end) const override;
    int cursorPosition() const override { return m_cursor; }
    void select(int anchor, int cursor) override;
    QRect characterRect(int position) override;
    int positionAt(const QPoint &point) override;
    void scrollToPosition(int position) override { setCursorPosition(position); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void textChanged(const QString &text);

protected:
    QString rangeText(int start, int end) const override { return m_text.mid(start, end - start); }
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void updateGeometryCache();
    const QPixmap &background();
    const ShapedLine &shaped();
    QTextLayout &layout();
    qreal xOf(int position);
    int scrollOffset();
    void moveCursor(int position, bool mark) { select(mark ? m_anchor : position, position); }
    void selectWordAt(int position);

    Look m_look;
    QString m_text;
    ShapedLine m_shaped;
    bool m_shapedValid = false;
    std::unique_ptr<LineLayout> m_layout; // only while the operator works with the text

    int m_anchor = 0;
    int m_cursor = 0;
    int m_hscroll = 0;
    bool m_selecting = false;
    qint64 m_doubleClickTime = -1; // for a triple click
    QPoint m_doubleClickPos;

    // Geometry, updated when the size, font or style change.
    QRect m_textArea; // the clip of the text (a new text repaints this alone)
    QPointF m_origin; // top left of the text at no scroll
    int m_lineWidth = 0;
    int m_lineHeight = 0;

    // The box without its text.
    QPixmap m_background;
    int m_backgroundKey = -1;
    int m_generation = 0; // bumped on a palette, style or font change
};
