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
#include <optional>

struct AppWorld {
    QTemporaryDir home;
    testsupport::ComDir comDir;
    // The variables as they were; none for one that was not set, which is unset again.
    std::optional<QByteArray> oldHome = saved("HOME"), oldRuntime = saved("XDG_RUNTIME_DIR"),
                              oldConfig = saved("XDG_CONFIG_HOME");

    static std::optional<QByteArray> saved(const char *name)
    {
        if (!qEnvironmentVariableIsSet(name)) return std::nullopt;
        return qgetenv(name);
    }
    static void restore(const char *name, const std::optional<QByteArray> &value)
    {
        value ? qputenv(name, *value) : qunsetenv(name);
    }

    AppWorld()
    {
        qputenv("HOME", home.path().toLocal8Bit());
        QDir(home.path()).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(home.path() + QStringLiteral("/runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", (home.path() + QStringLiteral("/runtime")).toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    }
    ~AppWorld()
    {
        restore("HOME", oldHome);
        restore("XDG_RUNTIME_DIR", oldRuntime);
        restore("XDG_CONFIG_HOME", oldConfig);
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
