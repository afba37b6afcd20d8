#ifndef QND_TESTS_APPINILOCK_H
#define QND_TESTS_APPINILOCK_H

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

#endif  // QND_TESTS_APPINILOCK_H
