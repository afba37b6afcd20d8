#include "rollback.h"

#include "filemode.h"
#include "installpath.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

RollbackData::RollbackData(int op, const QString& oldPath, const QString& path)
    : m_Path(path), m_OldPath(oldPath), m_Op(op), m_TwoPaths(true)
{
}

RollbackData::RollbackData(int op, const QString& path) : m_Path(path), m_Op(op), m_TwoPaths(false) {}

RollbackData RollbackData::modeChange(const QString& path, int oldMode)
{
    RollbackData record(FILE_MODE, path);
    record.m_Mode = oldMode;
    return record;
}

RollbackData RollbackData::inside(const QString& installDir) const
{
    RollbackData record(*this);
    record.m_InstallDir = installDir;
    return record;
}

bool RollbackData::undoAt(const InstallRoot& root) const
{
    InstallLocation at;
    if (!openInstallLocation(root, m_Path, &at))
        return false;
    switch (m_Op) {
    case FILE_RENAME:
    case FILE_RESTORE: {
        // renameat(2) replaces what is at the old path in one step.
        InstallLocation back;
        return openInstallLocation(root, m_OldPath, &back)
            && ::renameat(at.dir.get(), at.leaf.constData(), back.dir.get(), back.leaf.constData()) == 0
            && ::fsync(back.dir.get()) == 0;
    }
    // Each undo is flushed: a recovery removes its journal once the last is
    // done, and an undo lost to a power cut after that could not be redone.
    case FILE_CREATE: return ::unlinkat(at.dir.get(), at.leaf.constData(), 0) == 0 && ::fsync(at.dir.get()) == 0;
    case FILE_MODE: return applyFileMode(at.dir.get(), at.leaf, m_Path, exactMode(mode_t(m_Mode)), nullptr, nullptr);
    case DIR_CREATE:
        // Only an empty directory goes, so nothing put there by someone else
        // is lost.
        return ::unlinkat(at.dir.get(), at.leaf.constData(), AT_REMOVEDIR) == 0 && ::fsync(at.dir.get()) == 0;
    }
    return false;
}

bool RollbackData::isValid() const
{
    switch (m_Op) {
    case FILE_MODE: return !m_TwoPaths && m_Mode >= 0 && m_Mode <= 07777;
    case FILE_RENAME:
    case FILE_RESTORE: return m_TwoPaths;
    case FILE_CREATE:
    case DIR_CREATE: return !m_TwoPaths;
    default: return false;
    }
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
    // Stopping at a bad record would leave the rest of the rollback undone;
    // it is reported and the others are undone.
    return reportUndo(reporter, isValid() && undo());
}

bool RollbackData::rollbackAt(const InstallRoot& root, QObject* reporter) const
{
    return reportUndo(reporter, isValid() && undoAt(root));
}

bool RollbackData::reportUndo(QObject* reporter, bool done) const
{
    if (done)
        return true;
    if (!isValid()) {
        message(reporter,
                QStringLiteral("warning: rollback of unknown operation %1 on %2 failed")
                    .arg(QString::number(m_Op), m_Path));
        return false;
    }
    switch (m_Op) {
    case FILE_CREATE: message(reporter, QStringLiteral("warning: rollback create file %1 failed").arg(m_Path)); break;
    case DIR_CREATE: message(reporter, QStringLiteral("warning: rollback create dir %1 failed").arg(m_Path)); break;
    case FILE_MODE: message(reporter, QStringLiteral("warning: rollback mode of %1 failed").arg(m_Path)); break;
    default:
        message(reporter, QStringLiteral("warning: rollback rename %1 to %2 failed").arg(m_OldPath, m_Path));
        break;
    }
    return false;
}

bool RollbackData::undo() const
{
    if (!m_InstallDir.isEmpty()) {
        // Opened as named, as the session that made the change found it.
        InstallRoot root;
        return openInstallRootAsNamed(m_InstallDir, &root) && undoAt(root);
    }
    switch (m_Op) {
    case FILE_RENAME: return QFile::rename(m_Path, m_OldPath);
    case FILE_RESTORE:
        // rename(2) replaces the newer file in one step, so the installed
        // path never goes missing while it is undone.
        return std::rename(QFile::encodeName(m_Path).constData(), QFile::encodeName(m_OldPath).constData()) == 0;
    case FILE_CREATE: return QFile::remove(m_Path);
    case FILE_MODE:
        return applyFileModeBelow(QFileInfo(m_Path).path(), m_Path, exactMode(mode_t(m_Mode)), nullptr, nullptr);
    case DIR_CREATE: return QFileInfo(m_Path).dir().rmdir(QDir(m_Path).dirName());
    }
    return false;
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
