#include "rollback.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

#include <cstdio>

RollbackData::RollbackData(int op, const QString& oldPath, const QString& path)
    : m_Path(path), m_OldPath(oldPath), m_Op(op)
{
    Q_ASSERT_X(op == FILE_RENAME || op == FILE_RESTORE, "RollbackData", "op==FILE_RENAME");
}

RollbackData::RollbackData(int op, const QString& path)
    : m_Path(path), m_Op(op)
{
    Q_ASSERT_X(op != FILE_RENAME && op != FILE_RESTORE, "RollbackData", "op!=FILE_RENAME");
}

void RollbackData::message(QObject* reporter, const QString& text)
{
    if (!reporter)
        return;
    if (!QMetaObject::invokeMethod(reporter, "message", Qt::AutoConnection, Q_ARG(QString, text)))
        qDebug() << "Warning: message signal was not found in RollbackData::message";
}

bool RollbackData::rollback(QObject* reporter) const
{
    switch (m_Op) {
    case FILE_RENAME:
        if (!QFile::rename(m_Path, m_OldPath)) {
            message(reporter, QStringLiteral("warning: rollback rename %1 to %2 failed").arg(m_OldPath, m_Path));
            return false;
        }
        return true;
    case FILE_RESTORE:
        // rename(2) replaces the newer file in one step, so the installed
        // path never goes missing while it is undone.
        if (std::rename(QFile::encodeName(m_Path).constData(), QFile::encodeName(m_OldPath).constData()) != 0) {
            message(reporter, QStringLiteral("warning: rollback rename %1 to %2 failed").arg(m_OldPath, m_Path));
            return false;
        }
        return true;
    case FILE_CREATE:
        if (!QFile::remove(m_Path)) {
            message(reporter, QStringLiteral("warning: rollback create file %1 failed").arg(m_Path));
            return false;
        }
        return true;
    case DIR_CREATE:
        // rmdir only removes an empty directory, so nothing put there by
        // someone else is lost.
        if (!QFileInfo(m_Path).dir().rmdir(QDir(m_Path).dirName())) {
            message(reporter, QStringLiteral("warning: rollback create dir %1 failed").arg(m_Path));
            return false;
        }
        return true;
    default:
        // Stopping here would leave the rest of the rollback undone; report the
        // bad record and let the others be undone.
        qCritical() << "Should not reach here";
        message(reporter, QStringLiteral("warning: rollback of unknown operation %1 on %2 failed").arg(m_Op).arg(m_Path));
        return false;
    }
}

bool RollbackDataList::rollback(QObject* reporter)
{
    bool ok = true;
    while (!m_List.isEmpty()) {
        const RollbackData record = m_List.takeLast();
        if (!record.rollback(reporter))
            ok = false;
    }
    return ok;
}
