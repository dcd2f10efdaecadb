#pragma once
// A private world for window tests: HOME, the runtime directory and the COM namespace all live
// in a temporary directory, so the tests never touch the machine's ports or the user's files.
#include "app/frmMain.h"
#include "tests/support/PtyPair.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

struct AppWorld {
    QTemporaryDir home;
    testsupport::ComDir comDir;
    // Each variable comes back as it was, unset if it was unset, before the folder goes.
    testsupport::ScopedEnv homeVar{"HOME", QFile::encodeName(home.path())};
    testsupport::ScopedEnv runtimeVar{"XDG_RUNTIME_DIR",
                                      QFile::encodeName(home.filePath("runtime"))};
    testsupport::ScopedEnv configVar{"XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config"))};

    AppWorld()
    {
        QDir(home.path()).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString dataFolder() const
    {
        return home.path() + QStringLiteral("/Documents/Brindlecast/NarwickPanel");
    }
    void makeDataFolder() const { QDir().mkpath(dataFolder()); }
};

// Picks `entry` in a combo list as a user would (the activated signal of a list pick).
inline bool pick(QComboBox *box, const QString &entry)
{
    const int i = box->findText(entry);
    if (i < 0) return false;
    box->setCurrentIndex(i);
    emit box->activated(i);
    return true;
}

// The entries of a combo list, in order.
inline QStringList entries(const QComboBox *box)
{
    QStringList list;
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

// The event loop still turns: a zero timer posted now fires.
inline bool eventLoopTurns()
{
    bool fired = false;
    QTimer::singleShot(0, [&fired] { fired = true; });
    QDeadlineTimer deadline(10000);
    while (!fired && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return fired;
}
