#ifndef QND_TESTS_TASKTEST_H
#define QND_TESTS_TASKTEST_H

// Running tasks in tests and reading what they said.

#include "rollback.h"
#include "taskspecification.h"
#include "support/testfiles.h"
#include "support/waitfor.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <gtest/gtest.h>

#include <ostream>

// What a task reports of its downloads, read into figures that start as
// from: a task's own figures overwrite them, a composed task adds to them.
struct DownloadFigures
{
    qulonglong done = 0;
    qulonglong total = 0;
    qulonglong speed = 0;
    bool downloading = false;
    bool operator==(const DownloadFigures& o) const
    {
        return done == o.done && total == o.total && speed == o.speed && downloading == o.downloading;
    }
};

inline void PrintTo(const DownloadFigures& f, std::ostream* os)
{
    *os << f.done << "/" << f.total << " at " << f.speed << (f.downloading ? ", downloading" : "");
}

inline DownloadFigures downloadFigures(TaskSpecification& task, DownloadFigures from = {})
{
    task.getDownloadProgress(from.done, from.total, from.speed, from.downloading);
    return from;
}

// The texts a spy on message() or error() caught, in order.
inline QStringList spyTexts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out.append(args.at(0).toString());
    return out;
}

// Runs a task to its end, recording its messages; false when it did not end
// in time.
inline bool runToEnd(TaskSpecification& task, QStringList* messages = nullptr)
{
    if (messages)
        QObject::connect(&task, &TaskSpecification::message, &task,
                         [messages](const QString& m) { messages->append(m); });
    task.execute();
    return waitFor([&] { return task.state() != TASK_RUNNING && task.state() != TASK_IDLE; });
}

// Runs a task whose work is done in the thread pool: it is running when
// execute() returns and ends later. Its messages and its end go to events in
// the order they came ("message: <text>", "finished", "canceled").
inline void runRecordingEvents(TaskSpecification& task, QStringList* events)
{
    QObject::connect(&task, &TaskSpecification::message, &task,
                     [events](const QString& m) { events->append("message: " + m); });
    QObject::connect(&task, &TaskSpecification::finished, &task, [events] { events->append("finished"); });
    QObject::connect(&task, &TaskSpecification::canceled, &task, [events] { events->append("canceled"); });
    task.execute();
    EXPECT_EQ(task.state(), TASK_RUNNING);
    ASSERT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING; }));
}

// The part files a file task left in dir (it must leave none).
inline QStringList partFiles(const QString& dir)
{
    return QDir(dir).entryList(QStringList{"*.qnd-part-*"}, QDir::Files | QDir::Hidden);
}

// The destination of a file task before a run that must fail: what an earlier
// install left ("installed before"), or nothing.
inline bool placeDestination(const QString& destination, bool existed)
{
    QFile::remove(destination);
    return !existed || writeAllMakingDirs(destination, "installed before");
}

// Runs a file task that must fail: it ends failed with message as its only
// text, records nothing, leaves its destination as placeDestination() put
// it, and leaves no part file in dir.
inline void expectFailureLeavesDestination(TaskSpecification& task, const RollbackDataList& list,
                                           const QString& message, const QString& destination, bool existed,
                                           const QString& dir)
{
    QStringList messages;
    ASSERT_TRUE(runToEnd(task, &messages));
    EXPECT_EQ(task.state(), TASK_FAILED);
    EXPECT_EQ(messages, QStringList{message});
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(readAllOrMissing(destination), existed ? QByteArray("installed before") : QByteArray("<missing>"));
    EXPECT_TRUE(partFiles(dir).isEmpty());
}

#endif // QND_TESTS_TASKTEST_H
