// COM numbers to device paths: the fixed table, the user's override directory and the
// whole-namespace directory that tests and the demo use.
#include "serial/ComNames.h"
#include "tests/support/PtyPair.h"

#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace serial;
using testsupport::ComDir;
using testsupport::PtyPair;
using testsupport::ScopedEnv;

namespace {

void link(const QString &target, const QString &linkPath)
{
    ::unlink(QFile::encodeName(linkPath).constData());
    QVERIFY(::symlink(QFile::encodeName(target).constData(),
                      QFile::encodeName(linkPath).constData()) == 0);
}

} // namespace

class TstComNames : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        QVERIFY(m_config.isValid());
        QVERIFY(QDir().mkpath(userComDir()));
        const QDir dir(userComDir());
        for (const QString &name : dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
            QFile::remove(dir.filePath(name));
    }

    void defaultTable_data()
    {
        QTest::addColumn<int>("com");
        QTest::addColumn<QString>("path");
        QTest::newRow("COM1") << 1 << "/dev/ttyS0";
        QTest::newRow("COM10") << 10 << "/dev/ttyS9";
        QTest::newRow("COM11") << 11 << "/dev/ttyUSB0";
        QTest::newRow("COM20") << 20 << "/dev/ttyUSB9";
        QTest::newRow("COM21") << 21 << "/dev/ttyACM0";
        QTest::newRow("COM30") << 30 << "/dev/ttyACM9";
        QTest::newRow("COM31") << 31 << "";
        QTest::newRow("COM0") << 0 << "";
        QTest::newRow("COM-1") << -1 << "";
    }
    void defaultTable()
    {
        QFETCH(int, com);
        QFETCH(QString, path);
        const QByteArray config = QFile::encodeName(m_config.path());
        ScopedEnv noComDir("NARWICKPANEL_COM_DIR", std::nullopt);
        ScopedEnv xdg("XDG_CONFIG_HOME", config);
        QVERIFY(!comDirectoryIsWholeNamespace());
        QCOMPARE(comDirectory(), userComDir());
        QCOMPARE(comNominalPath(com), path);
        // The canonical path exists only when the node does.
        const QString device = comDevicePath(com);
        if (path.isEmpty() || !QFileInfo::exists(path))
            QVERIFY(device.isEmpty());
        else
            QCOMPARE(device, QFileInfo(path).canonicalFilePath());
    }

    // The user's directory overrides single numbers; the table covers the rest; a dangling
    // link makes its number absent instead of falling back to the table.
    void userOverrides()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        const QByteArray config = QFile::encodeName(m_config.path());
        ScopedEnv noComDir("NARWICKPANEL_COM_DIR", std::nullopt);
        ScopedEnv xdg("XDG_CONFIG_HOME", config);

        link(pty.slavePath(), userComDir() + "/com11");
        link(pty.slavePath(), userComDir() + "/com42");
        link(m_config.path() + "/nothing-here", userComDir() + "/com12");

        QCOMPARE(comNominalPath(11), pty.slavePath());
        QCOMPARE(comDevicePath(11), pty.slavePath());
        QCOMPARE(comDevicePath(42), pty.slavePath());
        QCOMPARE(comNominalPath(13), QStringLiteral("/dev/ttyUSB2"));
        QCOMPARE(comNominalPath(12), m_config.path() + "/nothing-here");
        QVERIFY(comDevicePath(12).isEmpty());
        QVERIFY(comNominalPath(43).isEmpty());
    }

    // Links are followed to the real device, so that locks name it; the tool tip shows the
    // link's own target.
    void canonicalPaths()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        ComDir comDir;
        QVERIFY(QDir(comDir.path()).mkdir("by-id"));
        link(pty.slavePath(), comDir.path() + "/by-id/adapter");
        link("by-id/adapter", comDir.path() + "/com5"); // relative target
        comDir.map(6, comDir.path() + "/by-id/../by-id/adapter");

        QCOMPARE(comNominalPath(5), comDir.path() + "/by-id/adapter");
        QCOMPARE(comDevicePath(5), pty.slavePath());
        QCOMPARE(comNominalPath(6), comDir.path() + "/by-id/adapter");
        QCOMPARE(comDevicePath(6), pty.slavePath());

        // A mapping is looked up afresh on every call.
        PtyPair other;
        comDir.map(5, other.slavePath());
        QCOMPARE(comDevicePath(5), other.slavePath());
        comDir.unmap(5);
        QVERIFY(comDevicePath(5).isEmpty());
    }

    // With $NARWICKPANEL_COM_DIR set, that directory is everything: no table, no user
    // directory. The previous value, or its absence, comes back afterwards.
    void wholeNamespace()
    {
        PtyPair pty;
        const QByteArray config = QFile::encodeName(m_config.path());
        const QByteArray outer = "/outer/value";
        ScopedEnv outerComDir("NARWICKPANEL_COM_DIR", outer);
        ScopedEnv xdg("XDG_CONFIG_HOME", config);
        link(pty.slavePath(), userComDir() + "/com3");
        {
            ComDir comDir;
            QVERIFY(comDirectoryIsWholeNamespace());
            QCOMPARE(comDirectory(), comDir.path());
            comDir.map(31, pty.slavePath());
            QCOMPARE(comDevicePath(31), pty.slavePath());
            for (int com : {1, 3, 11, 21, 30}) {
                QVERIFY2(comNominalPath(com).isEmpty(), qPrintable(QString::number(com)));
                QVERIFY(comDevicePath(com).isEmpty());
            }
        }
        QCOMPARE(qgetenv("NARWICKPANEL_COM_DIR"), outer);
        // One that was unset is unset again, not set and empty.
        ScopedEnv unset("NARWICKPANEL_COM_DIR", std::nullopt);
        {
            ComDir comDir;
        }
        QVERIFY(!qEnvironmentVariableIsSet("NARWICKPANEL_COM_DIR"));
    }

private:
    QString userComDir() const { return m_config.path() + "/NarwickPanel/com"; }
    QTemporaryDir m_config;
};

QTEST_GUILESS_MAIN(TstComNames)
#include "tst_comnames.moc"
