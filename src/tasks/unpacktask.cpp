#include "unpacktask.h"

#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "productininames.h"

#include <QFileInfo>

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
