#include "unpacktask.h"

#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "productininames.h"

#include <QDebug>
#include <QFileInfo>

bool UnpackFunc::run()
{
    const bool ok = produce([this](const QString& out) { return unpackInto(out); });
    qDebug() << logName() << m_Source << m_Destination << ok;
    return ok;
}

UnpackTaskSpecification::UnpackTaskSpecification(const char* verb, RollbackDataList* list, const QString& source,
                                                 const QString& destination, QObject* parent, qreal weight)
    : SlowFileOpSpecification(QStringLiteral("Could not %1 '%2' to '%3'").arg(QLatin1String(verb), source, destination),
                              list, source, destination, parent, weight)
{
}

SlowFileOpSpecification* newUnpackTask(RollbackDataList* list, const QString& download, const QString& destination,
                                       quint64 outputLimit, QObject* parent, qreal weight)
{
    if (QFileInfo(download).fileName().endsWith(productIniPackedSuffix)) {
        auto* task = new FileUnpackTaskSpecification_lzma2(list, download, destination, parent, weight);
        task->setOutputLimit(outputLimit);
        return task;
    }
    return new FileUnpackTaskSpecification_zip(list, download, destination, parent, weight);
}
