#pragma once
// The window's status bar: five panels, numbered from 1. Panels 4 and 5 show the current date
// and time and keep themselves current.
#include <QString>
#include <QWidget>
#include <array>

class QLabel;
class QTimer;

class StatusBar : public QWidget {
public:
    explicit StatusBar(QWidget *parent = nullptr);

    void setPanelText(int panel, const QString &text);
    QString panelText(int panel) const;
    QLabel *panel(int panel) const { return m_panels.at(panel - 1); }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void refreshClock();

    std::array<QLabel *, 5> m_panels{};
    QTimer *m_clock = nullptr;
};
