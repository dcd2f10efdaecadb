#include "app/PortList.h"

#include <QKeyEvent>

PortList::PortList(QWidget *parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // The completer would turn "n" into "none" and pick it when the focus moves on.
    setCompleter(nullptr);
}

void PortList::keyPressEvent(QKeyEvent *event)
{
    // With the list closed, Enter in the text part would pick the entry matching the text.
    // (With the list open, the list itself takes Enter and picks the highlighted entry.)
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QComboBox::keyPressEvent(event);
}
