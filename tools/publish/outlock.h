#ifndef QND_PUBLISH_OUTLOCK_H
#define QND_PUBLISH_OUTLOCK_H

#include "installpath.h"

#include <QString>

#include <functional>

// Publishes into one OUT take turns, so that what a run checks against OUT
// (the carry rule, a version never rewritten, the key) still holds when it
// moves its tree into place. The lock is on OUT itself, which no server lists
// as a version, and ends with the process however it ends.
class OutLock
{
public:
    // Waits for a run that holds OUT, telling progress so; false with the
    // reason in *error when OUT cannot be locked.
    bool take(const QString& outDir, const std::function<void(const QString&)>& progress, QString* error);

private:
    UniqueFd m_Fd;
};

#endif // QND_PUBLISH_OUTLOCK_H
