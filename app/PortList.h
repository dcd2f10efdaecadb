#pragma once
// A port list: a list box with a text part the operator may type into. Only choosing an entry
// from the list, with the mouse or with the arrow keys, picks a port (the activated signal).
// Typed text completes nothing and picks nothing, not with Enter, Tab or a click elsewhere, and
// is never added to the list; it stays in the text part until the next pick or scan.
#include <QComboBox>

class PortList : public QComboBox {
public:
    explicit PortList(QWidget *parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
};
