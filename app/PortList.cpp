#include "app/PortList.h"

#include <QKeyEvent>
#include <QLineEdit>

namespace {

bool isEnter(const QKeyEvent *event)
{
    return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
}

} // namespace

PortList::PortList(QWidget *parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // The completer would turn "n" into "none" and pick it when the focus moves on.
    setCompleter(nullptr);
    // Leaving the text part would pick the entry whose text was typed.
    disconnect(lineEdit(), &QLineEdit::editingFinished, this, nullptr);
    disconnect(lineEdit(), &QLineEdit::returnPressed, this, nullptr);
    lineEdit()->installEventFilter(this);
}

// With the list closed, Enter in the text part would pick the entry matching the text, whether
// the key reaches the list box or its text part. (With the list open, the list itself takes
// Enter and picks the highlighted entry.)
void PortList::keyPressEvent(QKeyEvent *event)
{
    if (isEnter(event)) {
        event->accept();
        return;
    }
    QComboBox::keyPressEvent(event);
}

bool PortList::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lineEdit() && event->type() == QEvent::KeyPress &&
        isEnter(static_cast<QKeyEvent *>(event))) {
        event->accept();
        return true;
    }
    return QComboBox::eventFilter(watched, event);
}
