// The platform pieces: where the single-instance lock lies (no folder is ever created for it)
// and which documents folder holds the data folder (never one relative to the start folder).
#include "app/Platform.h"
#include "tests/support/Files.h"
#include "tests/support/PtyPair.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <list>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class TestPlatform : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void lockWithoutRuntimeFolder_data();
    void lockWithoutRuntimeFolder();
    void lockInRuntimeFolder();
    void plantedLock_data();
    void plantedLock();
    void startupCreatesNoFolder_data();
    void startupCreatesNoFolder();
    void documentsFolder_data();
    void documentsFolder();

private:
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_oldCurrent;
    // The variables a case sets, put back in the reverse order at its end.
    std::list<testsupport::ScopedEnv> m_env;
    void setEnv(const char *name, const std::optional<QByteArray> &value)
    {
        m_env.emplace_back(name, value);
    }
};

using testsupport::tree;

void TestPlatform::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    // The temporary folder and HOME are private to the test.
    QDir(m_root->path()).mkpath("tmp");
    QDir(m_root->path()).mkpath("home");
    setEnv("TMPDIR", QFile::encodeName(m_root->filePath("tmp")));
    setEnv("HOME", QFile::encodeName(m_root->filePath("home")));
    setEnv("XDG_CONFIG_HOME", QFile::encodeName(m_root->filePath("home/.config")));
    // Started in the root, so that anything made relative to the start folder shows up.
    m_oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_root->path()));
}

void TestPlatform::cleanup()
{
    while (!m_env.empty())
        m_env.pop_back();
    QDir::setCurrent(m_oldCurrent);
    m_root.reset();
}

// Without a usable runtime folder the lock is a file in the temporary folder itself, named for
// the user; nothing else appears, and a runtime folder named but missing is not created.
void TestPlatform::lockWithoutRuntimeFolder_data()
{
    QTest::addColumn<QString>("runtime"); // XDG_RUNTIME_DIR under the root; empty: unset
    QTest::addColumn<int>("mode");        // made with this mode first; 0: not made
    QTest::newRow("unset") << QString() << 0;
    QTest::newRow("missing") << "run/user" << 0;
    QTest::newRow("relative") << "relative" << 0;
    QTest::newRow("others may write") << "shared" << 0777;
}

void TestPlatform::lockWithoutRuntimeFolder()
{
    QFETCH(QString, runtime);
    QFETCH(int, mode);
    const QString tmp = m_root->filePath("tmp");
    if (runtime.isEmpty()) {
        setEnv("XDG_RUNTIME_DIR", std::nullopt);
    } else if (runtime == QLatin1String("relative")) {
        setEnv("XDG_RUNTIME_DIR", "relative");
    } else {
        const QString dir = m_root->filePath(runtime);
        if (mode) {
            QVERIFY(QDir().mkpath(dir));
            QCOMPARE(::chmod(QFile::encodeName(dir).constData(), mode_t(mode)), 0);
        }
        setEnv("XDG_RUNTIME_DIR", QFile::encodeName(dir));
    }
    const QStringList before = tree(m_root->path());

    platform::InstanceLock lock;
    QVERIFY(lock.tryLock());
    const QString name = QFileInfo(lock.path()).fileName();
    QCOMPARE(QFileInfo(lock.path()).absolutePath(), tmp);
    QVERIFY2(name.startsWith("narwickpanel-") && name.endsWith(".lock"), qPrintable(name));
    QVERIFY(name.size() > int(strlen("narwickpanel-.lock")));

    QStringList after = before;
    after << QStringLiteral("tmp/") + name;
    after.sort();
    QCOMPARE(tree(m_root->path()), after);
    if (mode) { // a folder not fit for the lock is left as it was
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(m_root->filePath(runtime)).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), mode);
    }
}

void TestPlatform::lockInRuntimeFolder()
{
    const QString runtime = m_root->filePath("runtime");
    QVERIFY(QDir().mkpath(runtime));
    QCOMPARE(::chmod(QFile::encodeName(runtime).constData(), 0700), 0);
    setEnv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    platform::InstanceLock lock;
    QCOMPARE(lock.path(), runtime + "/narwickpanel.lock");
    QVERIFY(lock.tryLock());
    QCOMPARE(tree(m_root->filePath("tmp")), QStringList());
}

// What another user may plant at the lock's name in the shared temporary folder is no running
// copy: a dangling link, a folder, a FIFO, another user's file. The lock is not taken, the box
// says why, nothing waits and the plant stays as it was. A lock of ours whose copy is gone (no
// flock on it, whatever it holds) is taken over; one a running copy holds is not. Run in a
// child, as root and as an unprivileged user; an alarm ends one that hangs.
void TestPlatform::plantedLock_data()
{
    QTest::addColumn<QString>("plant");
    QTest::addColumn<bool>("asUser");
    QTest::addColumn<int>("expected"); // 0 taken, 1 taken by something else, 2 a running copy
    const std::pair<const char *, int> cases[] = {{"dangling link", 1}, {"folder", 1},
                                                  {"fifo", 1},          {"foreign file", 1},
                                                  {"stale of ours", 0}, {"running copy", 2}};
    for (const auto &[plant, expected] : cases) {
        QTest::addRow("%s, as root", plant) << plant << false << expected;
        QTest::addRow("%s, as a user", plant) << plant << true << expected;
    }
}

void TestPlatform::plantedLock()
{
    QFETCH(QString, plant);
    QFETCH(bool, asUser);
    QFETCH(int, expected);
    const bool root = ::geteuid() == 0;
    if ((asUser || plant == QLatin1String("foreign file")) && !root)
        QSKIP("needs root to act as another user");
    const uid_t uid = asUser ? 65534 : ::geteuid();
    const passwd *pw = ::getpwuid(uid);
    QVERIFY(pw);
    setEnv("XDG_RUNTIME_DIR", std::nullopt);
    const QString tmp = m_root->filePath("tmp");
    QCOMPARE(::chmod(QFile::encodeName(m_root->path()).constData(), 0755), 0);
    QCOMPARE(::chmod(QFile::encodeName(tmp).constData(), 01777), 0);
    const QByteArray lock =
        QFile::encodeName(tmp + QStringLiteral("/narwickpanel-%1.lock").arg(pw->pw_name));
    const QByteArray elsewhere = QFile::encodeName(m_root->filePath("elsewhere"));
    int holder = -1;
    if (plant == QLatin1String("dangling link")) {
        QCOMPARE(::symlink(elsewhere.constData(), lock.constData()), 0);
    } else if (plant == QLatin1String("folder")) {
        QCOMPARE(::mkdir(lock.constData(), 0777), 0);
    } else if (plant == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(lock.constData(), 0666), 0);
    } else {
        QFile f(QFile::decodeName(lock));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("2147483000\nnarwickpanel\nhost\n");
        f.close();
        QCOMPARE(::chmod(lock.constData(), 0666), 0);
        const uid_t owner = plant == QLatin1String("foreign file") ? (asUser ? 0 : 65534) : uid;
        QCOMPARE(::chown(lock.constData(), owner, owner), 0);
        if (plant == QLatin1String("running copy")) {
            holder = ::open(lock.constData(), O_RDONLY | O_CLOEXEC);
            QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
        }
    }
    struct stat before {};
    QCOMPARE(::lstat(lock.constData(), &before), 0);

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::alarm(10);
        if (asUser && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(100);
        int code = 2;
        {
            platform::InstanceLock instance; // let go before the child ends
            if (QFile::encodeName(instance.path()) != lock)
                code = 101;
            else if (instance.tryLock())
                code = 0;
            else if (!instance.problem().isEmpty())
                code = instance.problem() == QLatin1String("is taken by something else") ? 1 : 102;
        }
        ::_exit(code);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    if (holder >= 0) ::close(holder);
    QVERIFY2(WIFEXITED(status), "taking the lock hung or crashed");
    QCOMPARE(WEXITSTATUS(status), expected);
    struct stat after {};
    if (expected == 0) { // taken over, and removed when the copy ended
        QCOMPARE(::lstat(lock.constData(), &after), -1);
        return;
    }
    QCOMPARE(::lstat(lock.constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(after.st_size, before.st_size);
    QVERIFY(!QFile::exists(QFile::decodeName(elsewhere)));
}

// Qt's own start-up creates <temp>/runtime-<user>, or the missing folder XDG_RUNTIME_DIR
// names, unless the program keeps it from doing so. Run in a child: one application a process.
void TestPlatform::startupCreatesNoFolder_data()
{
    QTest::addColumn<QString>("runtime"); // XDG_RUNTIME_DIR under the root; empty: unset
    QTest::addColumn<int>("mode");        // made with this mode first; 0: not made
    QTest::addColumn<QString>("lockIn");  // the folder the lock lies in, under the root
    QTest::newRow("unset") << QString() << 0 << "tmp";
    QTest::newRow("missing") << "run/user" << 0 << "tmp";
    QTest::newRow("others may write") << "shared" << 0777 << "tmp";
    // Not the 0700 Qt asks for, but nobody else may write there: the lock may lie in it.
    QTest::newRow("others may read") << "readable" << 0755 << "readable";
    QTest::newRow("fit for use") << "runtime" << 0700 << "runtime";
}

void TestPlatform::startupCreatesNoFolder()
{
    QFETCH(QString, runtime);
    QFETCH(int, mode);
    QFETCH(QString, lockIn);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty()) {
        const QString dir = m_root->filePath(runtime);
        if (mode) {
            QVERIFY(QDir().mkpath(dir));
            QCOMPARE(::chmod(QFile::encodeName(dir).constData(), mode_t(mode)), 0);
        }
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir);
    }
    env.insert(QStringLiteral("TMPDIR"), m_root->filePath("tmp"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QStringList before = tree(m_root->path());

    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--start-up")});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);

    const QString lock = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
    QCOMPARE(QFileInfo(lock).absolutePath(), m_root->filePath(lockIn));
    QCOMPARE(tree(m_root->path()), before); // the lock went with the child
}

// user-dirs.dirs may name only absolute folders: a relative one counts as unset. An absolute
// XDG_DOCUMENTS_DIR in the environment (a service's unit sets it) wins over the file.
void TestPlatform::documentsFolder_data()
{
    QTest::addColumn<QByteArray>("line"); // the file's line; empty: no file
    QTest::addColumn<QString>("folder");  // expected, "~" standing for HOME
    QTest::addColumn<QByteArray>("env");  // XDG_DOCUMENTS_DIR in the environment; empty: unset
    QTest::newRow("no file") << QByteArray() << "~/Documents" << QByteArray();
    QTest::newRow("environment over the file") << QByteArray("XDG_DOCUMENTS_DIR=\"/srv/lab\"")
                                               << "/var/lib/np" << QByteArray("/var/lib/np");
    QTest::newRow("relative environment") << QByteArray() << "~/Documents" << QByteArray("rel");
    QTest::newRow("home relative")
        << QByteArray("XDG_DOCUMENTS_DIR=\"$HOME/Papers\"") << "~/Papers" << QByteArray();
    QTest::newRow("absolute") << QByteArray("XDG_DOCUMENTS_DIR=\"/srv/lab\"") << "/srv/lab"
                              << QByteArray();
    QTest::newRow("relative") << QByteArray("XDG_DOCUMENTS_DIR=\"rel\"") << "~/Documents"
                              << QByteArray();
    QTest::newRow("dot relative") << QByteArray("XDG_DOCUMENTS_DIR=\"./docs\"") << "~/Documents"
                                  << QByteArray();
}

void TestPlatform::documentsFolder()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, folder);
    QFETCH(QByteArray, env);
    setEnv("XDG_DOCUMENTS_DIR", env.isEmpty() ? std::nullopt : std::optional(env));
    if (!line.isEmpty()) {
        QVERIFY(QDir().mkpath(m_root->filePath("home/.config")));
        QFile dirs(m_root->filePath("home/.config/user-dirs.dirs"));
        QVERIFY(dirs.open(QIODevice::WriteOnly));
        dirs.write("# written by the test\n" + line + "\n");
    }
    folder.replace(u'~', m_root->filePath("home"));
    QCOMPARE(platform::documentsFolder(), folder);
}

// The child of startupCreatesNoFolder: an application started as the program starts, then its
// lock taken; prints the lock's path. Exit 3: the environment was not put back.
static int startUp(int argc, char **argv)
{
    const auto env = [](const char *name) {
        return qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
    };
    const auto runtime = env("XDG_RUNTIME_DIR");
    const auto tmpdir = env("TMPDIR");
    auto guard = std::make_unique<platform::StartupWithoutFolders>();
    QGuiApplication app(argc, argv);
    guard.reset();
    if (env("XDG_RUNTIME_DIR") != runtime || env("TMPDIR") != tmpdir) return 3;
    platform::InstanceLock lock;
    if (!lock.tryLock()) return 4;
    std::printf("%s\n", QFile::encodeName(lock.path()).constData());
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--start-up") == 0) return startUp(argc, argv);
    QCoreApplication app(argc, argv);
    TestPlatform test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_platform.moc"
