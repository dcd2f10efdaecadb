#pragma once
// What the display boxes and the log share as texts the operator can select and copy but not
// edit. The widget keeps its text and its selection, draws them and turns the mouse and the
// arrow keys into moves of the selection; this part sees the text and the selection as positions
// in the whole text (lines joined by '\n') and, on those alone, gives:
// - Copy and Select All, from the keyboard (ahead of any window shortcut) and the context menu;
// - the copy to the X11 selection once a drag ends;
// - the screen-reader adapter (TextAccessible), and the events that tell a screen reader that the
//   text, the cursor or the selection changed.
#include <QString>

class QContextMenuEvent;
class QEvent;
class QKeyEvent;
class QMenu;
class QPoint;
class QRect;
class QWidget;

class SelectableText {
public:
    // What a screen reader is told the widget is.
    enum class Kind {
        LineEdit, // a read-only line edit
        Label,    // a label whose text can be selected: its text is its name unless it has one
        TextView  // a read-only multi-line text view
    };

    SelectableText(QWidget *widget, Kind kind);
    virtual ~SelectableText();
    SelectableText(const SelectableText &) = delete;
    SelectableText &operator=(const SelectableText &) = delete;

    Kind kind() const { return m_kind; }

    // The text, by positions 0..characterCount().
    virtual int characterCount() const = 0;
    // The text from `start` to `end`, both clamped into the text; an `end` below 0 means the end.
    QString textRange(int start, int end) const;
    virtual QString selectedText() const = 0;
    // The selection, start before end; without one, both are the cursor's position.
    virtual void selection(int *start, int *end) const = 0;
    virtual int cursorPosition() const = 0;
    // Selects from `anchor` to `cursor` (clamped into the text); equal, they just place the cursor.
    virtual void select(int anchor, int cursor) = 0;
    void setCursorPosition(int position) { select(position, position); }
    void deselect();
    void selectAll();
    void copy() const;

    // Copy and Select All; the caller owns the menu.
    QMenu *createStandardContextMenu();

    // Geometry, in the coordinates of textSurface(): the widget itself or the viewport it draws
    // its text on.
    virtual QWidget *textSurface() const { return m_widget; }
    virtual QRect characterRect(int position) = 0;
    virtual int positionAt(const QPoint &point) = 0;
    // Brings the position into view, as a screen reader asks.
    virtual void scrollToPosition(int position) = 0;

protected:
    // The widget's text from `start` to `end`, both within the text.
    virtual QString rangeText(int start, int end) const = 0;

    // For the widget's event handlers: true when they took the event.
    bool standardKeyPressed(QKeyEvent *event); // Copy, Select All
    bool shortcutOverridden(QEvent *event);    // the same keys, before the window's shortcuts
    void showContextMenu(QContextMenuEvent *event);
    // At the end of a drag: the selection goes to the X11 selection, where there is one.
    void mouseSelectionDone() const;

    // Tell a screen reader; nothing is built while none listens.
    void announceInserted(int position, const QString &text) const;
    void announceRemoved(int position, const QString &text) const;
    void announceReplaced(const QString &old, const QString &now) const;
    // After a move of the cursor or the selection, given the selection and cursor before it.
    void announceSelection(int oldStart, int oldEnd, int oldCursor) const;

private:
    QWidget *m_widget;
    Kind m_kind;
};
