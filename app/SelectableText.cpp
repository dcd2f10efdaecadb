#include "app/SelectableText.h"

#include "app/TextAccessible.h"

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QWidget>

#include <algorithm>

SelectableText::SelectableText(QWidget *widget, Kind kind) : m_widget(widget), m_kind(kind)
{
    static const bool factoryInstalled = (QAccessible::installFactory(textAccessible), true);
    Q_UNUSED(factoryInstalled);
}

SelectableText::~SelectableText() = default;

QString SelectableText::textRange(int start, int end) const
{
    const int count = characterCount();
    if (end < 0 || end > count) end = count;
    return rangeText(std::clamp(start, 0, end), end);
}

void SelectableText::deselect()
{
    setCursorPosition(cursorPosition());
}

void SelectableText::selectAll()
{
    select(0, characterCount());
}

void SelectableText::copy() const
{
    const QString text = selectedText();
    if (!text.isEmpty()) QGuiApplication::clipboard()->setText(text);
}

QMenu *SelectableText::createStandardContextMenu()
{
    int start = 0, end = 0;
    selection(&start, &end);
    const int count = characterCount();
    auto *menu = new QMenu(m_widget);
    menu->setObjectName(QStringLiteral("qt_edit_menu"));
    QAction *copyAction = menu->addAction(QCoreApplication::translate("SelectableText", "&Copy"),
                                          m_widget, [this] { copy(); });
    copyAction->setObjectName(QStringLiteral("edit-copy"));
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(start != end);
    menu->addSeparator();
    QAction *all = menu->addAction(QCoreApplication::translate("SelectableText", "Select All"),
                                   m_widget, [this] { selectAll(); });
    all->setObjectName(QStringLiteral("select-all"));
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(count > 0 && end - start != count);
    return menu;
}

void SelectableText::showContextMenu(QContextMenuEvent *event)
{
    QMenu *menu = createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

bool SelectableText::standardKeyPressed(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy))
        copy();
    else if (event->matches(QKeySequence::SelectAll))
        selectAll();
    else
        return false;
    event->accept();
    return true;
}

bool SelectableText::shortcutOverridden(QEvent *event)
{
    if (event->type() != QEvent::ShortcutOverride) return false;
    auto *key = static_cast<QKeyEvent *>(event);
    if (!key->matches(QKeySequence::Copy) && !key->matches(QKeySequence::SelectAll)) return false;
    event->accept();
    return true;
}

void SelectableText::mouseSelectionDone() const
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard->supportsSelection()) return;
    const QString text = selectedText();
    if (!text.isEmpty()) clipboard->setText(text, QClipboard::Selection);
}

void SelectableText::announceInserted(int position, const QString &text) const
{
    if (!QAccessible::isActive() || text.isEmpty()) return;
    QAccessibleTextInsertEvent inserted(m_widget, position, accessibleText(text));
    QAccessible::updateAccessibility(&inserted);
}

void SelectableText::announceRemoved(int position, const QString &text) const
{
    if (!QAccessible::isActive() || text.isEmpty()) return;
    QAccessibleTextRemoveEvent gone(m_widget, position, accessibleText(text));
    QAccessible::updateAccessibility(&gone);
}

void SelectableText::announceReplaced(const QString &old, const QString &now) const
{
    if (!QAccessible::isActive()) return;
    QAccessibleTextUpdateEvent changed(m_widget, 0, accessibleText(old), accessibleText(now));
    QAccessible::updateAccessibility(&changed);
    if (m_kind == Kind::Label && m_widget->accessibleName().isEmpty()) { // its name is its text
        QAccessibleEvent renamed(m_widget, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&renamed);
    }
}

void SelectableText::announceSelection(int oldStart, int oldEnd, int oldCursor) const
{
    if (!QAccessible::isActive()) return;
    int start = 0, end = 0;
    selection(&start, &end);
    const int cursor = cursorPosition();
    if (cursor != oldCursor) {
        QAccessibleTextCursorEvent moved(m_widget, cursor);
        QAccessible::updateAccessibility(&moved);
    }
    // No selection is the same whichever position it was at.
    const auto none = [](int &s, int &e) {
        if (s == e) s = e = -1;
    };
    none(oldStart, oldEnd);
    none(start, end);
    if (start != oldStart || end != oldEnd) {
        QAccessibleTextSelectionEvent selected(m_widget, start, end);
        QAccessible::updateAccessibility(&selected);
    }
}
