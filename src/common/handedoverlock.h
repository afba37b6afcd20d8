#ifndef HANDEDOVERLOCK_H
#define HANDEDOVERLOCK_H

#include "uniquefd.h"

#include <QString>

// The second step of a self-update's side of the hand-over: what the first
// step handed over, read from the environment at start-up, and taken as
// this installation's lock only when it is that.
class HandedOverLock
{
public:
    HandedOverLock() = delete;

    // Where earlier releases hand over the lock file's descriptor.
    static const char* const lockFileVariable;
    // How long either step waits for the other's answer.
    static const int answerMs = 5000;

    // Reads and unsets what a first step handed over: the hand-over socket,
    // and the lock file's descriptor that earlier releases pass. Called
    // once, before the program opens any file, so a number named there is
    // still what was handed over.
    static void takeFromEnvironment();
    // The install directory's lock, asked for over the hand-over socket and
    // flocked; invalid when none was handed over or it is not installDir's.
    static UniqueFd takeDirectory(const QString& installDir);
    // The lock file handed over, flocked, when it is installDir's lock
    // file; a number that is not is never closed.
    static UniqueFd takeFile(const QString& installDir);
};

#endif // HANDEDOVERLOCK_H
