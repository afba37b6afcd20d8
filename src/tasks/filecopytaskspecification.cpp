#include "filecopytaskspecification.h"

#include <QDebug>
#include <QFile>

bool FileCopyFunc::run()
{
    qDebug() << "run" << m_Source << m_Destination;
    // QFile::copy writes a temporary file and renames it into place, so a
    // failed copy leaves no partial destination.
    return QFile::copy(m_Source, m_Destination);
}

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* list, const QString& source,
                                                     const QString& destination, QObject* parent, qreal weight)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(source, destination), list,
                              source, destination, parent, weight)
{
}

ASyncFunc* FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(source(), destination());
}
