#ifndef QND_TESTS_APPINILOCK_H
#define QND_TESTS_APPINILOCK_H

#include "support/testfiles.h"

#include <QLockFile>
#include <QString>

#include <memory>

// The "update.ini" beside a test program (the updater's application
// directory) is one file for every test program built into that directory,
// and ctest runs them in parallel: a test that reads or writes it holds this
// lock. Null when the lock was not had within a generous limit.
inline std::unique_ptr<QLockFile> lockAppIni(const QString& appDir)
{
    auto lock = std::make_unique<QLockFile>(appDir + QStringLiteral("/update_ini.lock"));
    lock->setStaleLockTime(0);
    if (!lock->tryLock(120000))
        return nullptr;
    return lock;
}

// The lock, with no "update.ini" beside the program while it is held: the
// file is removed when the lock is taken and again before it is let go, so
// that each test starts from no settings and leaves none behind.
class CleanAppIni
{
public:
    explicit CleanAppIni(const QString& appDir)
        : m_Path(appDir + QStringLiteral("/update.ini")), m_Lock(lockAppIni(appDir))
    {
        if (m_Lock)
            removeFileOrTree(m_Path);
    }
    ~CleanAppIni()
    {
        if (m_Lock)
            removeFileOrTree(m_Path);
    }
    CleanAppIni(const CleanAppIni&) = delete;
    CleanAppIni& operator=(const CleanAppIni&) = delete;

    bool isLocked() const { return m_Lock != nullptr; }

private:
    QString m_Path;
    std::unique_ptr<QLockFile> m_Lock;
};

#endif // QND_TESTS_APPINILOCK_H
