#include "filecopytaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "durablefile.h"

#include <QDebug>
#include <QFile>

bool FileCopyFunc::run()
{
    qDebug() << "run" << m_Source << m_Destination;
    // QFile::copy writes a temporary file and renames it into place, so a
    // failed copy leaves no partial destination.
    if (m_Part.isEmpty())
        return QFile::copy(m_Source, m_Destination);

    QString reason;
    if (!copyFileDurably(m_Source, m_Part, &reason))
        return failWith(QStringLiteral("Could not write '%1': %2").arg(m_Destination, reason));
    if (m_Hash.isEmpty() || CheckSigFunc(m_Part, m_Hash).run())
        return true;
    QFile::remove(m_Part);
    return failWith(QStringLiteral("Signature check failed for %1").arg(m_Destination));
}

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* list, const QString& source,
                                                     const QString& destination, QObject* parent, qreal weight)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(source, destination), list, source,
                              destination, parent, weight)
{
}

ASyncFunc* FileCopyTaskSpecification::createFunc()
{
    auto* func = new FileCopyFunc(source(), destination());
    func->setExpectedHash(m_Hash);
    return prepared(func);
}
