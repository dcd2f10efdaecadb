#pragma once
// The window's status bar: five panels, numbered from 1. Panels 4 and 5 show the current date
// and time and keep themselves current. Each panel's text can be selected and copied, and a
// screen reader knows the bar as a status bar.
#include <QString>
#include <QWidget>
#include <array>

class DisplayBox;
class QTimer;

class StatusBar : public QWidget {
    Q_OBJECT

public:
    explicit StatusBar(QWidget *parent = nullptr);

    void setPanelText(int panel, const QString &text);
    QString panelText(int panel) const;
    DisplayBox *panel(int panel) const { return m_panels.at(panel - 1); }
    // Adds a panel of `width` pixels after the others, taken from the first panel's width;
    // it is panel 6 and is read and copied as the others are.
    DisplayBox *addPanel(int width, const QString &description);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void refreshClock();

    std::array<DisplayBox *, 5> m_panels{};
    DisplayBox *m_extra = nullptr;
    QTimer *m_clock = nullptr;
};
