#ifndef QND_TESTS_WAITFOR_H
#define QND_TESTS_WAITFOR_H

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <functional>

// Runs the event loop until cond holds or the (generous) limit passes.
inline bool waitFor(const std::function<bool()>& cond, int limitMs = 20000)
{
    QDeadlineTimer deadline(limitMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

// Delivers everything already queued, including deferred deletes.
inline void drainEvents()
{
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

#endif
