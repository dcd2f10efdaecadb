#include "app/Publishing.h"

#include "app/DisplayBox.h"
#include "app/LogView.h"
#include "app/StatusBar.h"
#include "app/frmMain.h"

std::unique_ptr<publish::Publisher> startPublishing(frmMain &window,
                                                    const publish::Settings &settings)
{
    auto publisher = std::make_unique<publish::Publisher>(settings);
    publish::connectLinks(*publisher, window.primary, window.secondary);
    DisplayBox *panel =
        window.ctl.sbStatusBar->addPanel(150, QStringLiteral("sbStatusBar panel 6"));
    panel->setText(publisher->statusText());
    panel->setToolTip(publisher->toolTip());
    QObject::connect(publisher.get(), &publish::Publisher::statusChanged, panel,
                     &DisplayBox::setText);
    QObject::connect(publisher.get(), &publish::Publisher::messageLogged, window.ctl.txtIncoming,
                     &LogView::appendMessage);
    publisher->start();
    return publisher;
}
