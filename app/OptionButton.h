#pragma once
// An option button whose caption wraps onto a second line when it is wider than the button,
// as the layout's two-line-high option buttons expect.
#include <QRadioButton>

class OptionButton : public QRadioButton {
public:
    using QRadioButton::QRadioButton;

protected:
    void paintEvent(QPaintEvent *event) override;
};
