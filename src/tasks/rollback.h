#ifndef ROLLBACK_H
#define ROLLBACK_H

#include <QList>
#include <QString>

class QObject;
struct InstallRoot;

enum RollbackOp {
    FILE_RENAME = 0,
    FILE_CREATE = 1,
    DIR_CREATE = 2,
    // The installed file kept aside (a hard link or copy, or the file itself
    // when it is deleted) is put back over whatever is there, in one step.
    FILE_RESTORE = 3,
    // A file's mode changed in place; the old mode is set again.
    FILE_MODE = 4
};

// One undo record of a change made to the installed directory.
class RollbackData
{
public:
    // A rename from oldPath to path (FILE_RENAME), or oldPath kept aside at
    // path (FILE_RESTORE).
    RollbackData(int op, const QString& oldPath, const QString& path);
    // A created file or directory (FILE_CREATE, DIR_CREATE).
    RollbackData(int op, const QString& path);

    // path's mode was oldMode before the change (FILE_MODE).
    static RollbackData modeChange(const QString& path, int oldMode);

    // The same record, undone through directory descriptors walked from
    // installDir (never following a link below it) instead of by path; its
    // paths must lie below installDir.
    RollbackData inside(const QString& installDir) const;

    // False for an unknown operation, or one made with the other
    // constructor: such a record undoes nothing and is never journaled.
    bool isValid() const;

    // Undoes the change once; failures (an invalid record included) are
    // reported through reporter's message() and give false.
    bool rollback(QObject* reporter) const;
    // The same through root, opened once by the caller, whatever paths
    // below it the record holds.
    bool rollbackAt(const InstallRoot& root, QObject* reporter) const;

    // Sends text to reporter's "message" method (a task's signal).
    static void message(QObject* reporter, const QString& text);

    const QString& path() const { return m_Path; }
    const QString& oldPath() const { return m_OldPath; }
    int op() const { return m_Op; }
    int oldMode() const { return m_Mode; }
    const QString& installDir() const { return m_InstallDir; }

private:
    bool undo() const;
    bool undoAt(const InstallRoot& root) const;
    // Reports the outcome of an undo (done: it worked) as rollback() does.
    bool reportUndo(QObject* reporter, bool done) const;

    QString m_Path;
    QString m_OldPath;
    QString m_InstallDir; // empty: undone by path
    int m_Op;
    bool m_TwoPaths; // made by the constructor that takes oldPath
    int m_Mode = -1; // FILE_MODE only
};

// Undo records in the order of the changes; undone last-first.
class RollbackDataList
{
public:
    RollbackDataList() = default;

    void append(const RollbackData& record) { m_List.append(record); }
    void appendList(const RollbackDataList& other) { m_List.append(other.m_List); }

    // Undoes and drops every record, newest first, going on past failures;
    // true only when every undo worked.
    bool rollback(QObject* reporter);

    const QList<RollbackData>& records() const { return m_List; }
    bool isEmpty() const { return m_List.isEmpty(); }

private:
    QList<RollbackData> m_List;
};

#endif // ROLLBACK_H
