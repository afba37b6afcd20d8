// The updater's start-up run in this process, for the paths that end in a
// message box: the box is answered from inside, which a child process would
// not allow. This program has its own main and no application object, since
// the start-up builds one itself.
#include "updatermain.h"

#include "configuration.h"
#include "installlock.h"
#include "support/appinilock.h"
#include "support/testfiles.h"
#include "updateinidata.h"

#include <QAbstractButton>
#include <QDir>
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <unistd.h>

namespace {

struct BoxSeen
{
    QString title;
    QString text;
    bool windowShown;
};
QList<BoxSeen> boxesSeen;
// The test program's directory, which the updater takes as its own.
QString programDir;

// Runs inside the application's constructor: once the first event loop runs,
// every message box gets answered with Ok and recorded.
void answerBoxes()
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        []() {
            auto* timer = new QTimer(QCoreApplication::instance());
            QObject::connect(timer, &QTimer::timeout, []() {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box)
                    return;
                bool shown = false;
                for (QWidget* w : QApplication::topLevelWidgets())
                    shown = shown || (w->objectName() == QLatin1String("MainWindow") && w->isVisible());
                boxesSeen << BoxSeen{box->windowTitle(), box->text(), shown};
                box->button(QMessageBox::Ok)->click();
            });
            timer->start(5);
        },
        Qt::QueuedConnection);
}

int runUpdater(QStringList args)
{
    QList<QByteArray> storage;
    std::vector<char*> argv;
    args.prepend(QStringLiteral("update"));
    for (const QString& a : args)
        storage << a.toLocal8Bit();
    for (QByteArray& b : storage)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    int argc = int(storage.size());
    return updaterMain(argc, argv.data());
}

class UpdaterMainTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The application directory's "update.ini" is shared with the other
        // test programs here, and the engine reads it at start-up.
        ASSERT_FALSE(programDir.isEmpty());
        lock = lockAppIni(programDir);
        ASSERT_TRUE(lock);
        ASSERT_TRUE(tmp.isValid());
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        qputenv("QND_CONFIG_DIR", QFile::encodeName(tmp.path()));
        qputenv("QT_QPA_PLATFORM", "offscreen");
        boxesSeen.clear();
        for (const char* name : {"qnd_force_update", "qnd_force_update_check"})
            ASSERT_TRUE(touch(tmp.filePath(QLatin1String(name))));
        // Should a session start after all, it only reaches a closed
        // loopback port.
        QFile ini(tmp.filePath(QStringLiteral("update.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Channel]\nalpha=http://127.0.0.1:1/\n");
    }
    bool markersLeft() const
    {
        return QFileInfo::exists(tmp.filePath(QStringLiteral("qnd_force_update")))
            && QFileInfo::exists(tmp.filePath(QStringLiteral("qnd_force_update_check")));
    }

    std::unique_ptr<QLockFile> lock;
    QTemporaryDir tmp;
};

TEST_F(UpdaterMainTest, UnparsableCommandLineEndsWithOneBeforeAnyWindowOrLoop)
{
    for (const QStringList& args :
         {QStringList{QStringLiteral("client_linux_amd64"), QStringLiteral("abc")},
          QStringList{QStringLiteral("--nouser"), QStringLiteral("client_linux_amd64"), QStringLiteral("-3")}}) {
        boxesSeen.clear();
        EXPECT_EQ(runUpdater(args), 1);
        ASSERT_EQ(boxesSeen.size(), 1);
        EXPECT_EQ(boxesSeen[0].title, QStringLiteral("Error"));
        EXPECT_EQ(boxesSeen[0].text, QStringLiteral("Invalid version nr (%1)").arg(args.last()));
        EXPECT_FALSE(boxesSeen[0].windowShown);
        // Both are updater runs, but the start-up stopped before the markers.
        EXPECT_TRUE(markersLeft());
    }
}

TEST_F(UpdaterMainTest, InvalidProxySettingEndsWithTwoAfterItsBox)
{
    const QString ini = programDir + QStringLiteral("/update.ini");
    {
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("[update]\nproxy=\"::\"\n");
    }
    const int rc = runUpdater({QStringLiteral("client_linux_amd64"), QStringLiteral("5")});
    QFile::remove(ini);
    EXPECT_EQ(rc, 2);
    ASSERT_EQ(boxesSeen.size(), 1);
    EXPECT_EQ(boxesSeen[0].title, QStringLiteral("Error"));
    EXPECT_EQ(boxesSeen[0].text, QStringLiteral("'::' is an invalid proxy specification"));
    EXPECT_TRUE(boxesSeen[0].windowShown);
    // An updater run removes the markers before its event loop.
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath(QStringLiteral("qnd_force_update"))));
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath(QStringLiteral("qnd_force_update_check"))));
}

// Whatever lies at the installation's lock, the start-up stops before the
// window, the session record or the markers when it cannot hold the lock:
// quietly with 0 when another updater holds it, with 1 and the reason
// otherwise, never following a link.
TEST_F(UpdaterMainTest, StartWithoutTheInstallationLockStopsBeforeAnything)
{
    const QString lockPath = programDir + QStringLiteral("/.qnd-lock");
    const QString outside = tmp.filePath(QStringLiteral("outside"));
    InstallLock other;
    struct Row
    {
        const char* name;
        std::function<bool()> make;
        int rc;
    };
    const Row rows[] = {
        {"held by another updater", [&] { return other.acquire(programDir) == InstallLock::Held; }, 0},
        {"a link", [&] { return QFile::link(outside, lockPath); }, 1},
        {"a directory", [&] { return QDir().mkdir(lockPath); }, 1},
        // One of this user's own, open to others, is made private and used
        // (shown with the installation lock); another user's is refused.
        {"open to others and another user's",
         [&] {
             return touch(lockPath)
                 && QFile::setPermissions(lockPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther)
                 && (::geteuid() != 0 || ::chown(QFile::encodeName(lockPath).constData(), 65534, 65534) == 0);
         },
         ::geteuid() == 0 ? 1 : -1},
    };
    const auto clear = [&] {
        other.release();
        QFile::remove(lockPath);
        QDir().rmdir(lockPath);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.rc < 0)
            continue;
        clear();
        ASSERT_TRUE(writeAll(outside, "keep"));
        ASSERT_TRUE(row.make());
        boxesSeen.clear();
        EXPECT_EQ(runUpdater({QStringLiteral("client_linux_amd64"), QStringLiteral("5")}), row.rc);
        EXPECT_TRUE(boxesSeen.isEmpty());
        EXPECT_TRUE(markersLeft());
        EXPECT_FALSE(QFileInfo::exists(programDir + QStringLiteral("/update.ini")));
        EXPECT_EQ(readAll(outside), "keep");
    }
    clear();
}

} // namespace

int main(int argc, char* argv[])
{
    ::testing::InitGoogleTest(&argc, argv);
    programDir = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
    qAddPreRoutine(answerBoxes);
    return RUN_ALL_TESTS();
}
