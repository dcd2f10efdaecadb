#pragma once
// A private world for window tests: HOME, the runtime directory and the COM namespace all live
// in a temporary directory, so the tests never touch the machine's ports or the user's files.
#include "app/frmMain.h"
#include "tests/support/PtyPair.h"

#include <QComboBox>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

struct AppWorld {
    QTemporaryDir home;
    testsupport::ComDir comDir;
    QByteArray oldHome, oldRuntime, oldConfig;

    AppWorld()
    {
        oldHome = qgetenv("HOME");
        oldRuntime = qgetenv("XDG_RUNTIME_DIR");
        oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        QDir(home.path()).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(home.path() + QStringLiteral("/runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", (home.path() + QStringLiteral("/runtime")).toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    }
    ~AppWorld()
    {
        qputenv("HOME", oldHome);
        qputenv("XDG_RUNTIME_DIR", oldRuntime);
        qputenv("XDG_CONFIG_HOME", oldConfig);
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
