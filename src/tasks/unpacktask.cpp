#include "unpacktask.h"

#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"

#include <QFileInfo>

SlowFileOpSpecification* newUnpackTask(RollbackDataList* list, const QString& download, const QString& destination,
                                       QObject* parent, qreal weight)
{
    if (QFileInfo(download).suffix() == QLatin1String("_lzma2_"))
        return new FileUnpackTaskSpecification_lzma2(list, download, destination, parent, weight);
    return new FileUnpackTaskSpecification_zip(list, download, destination, parent, weight);
}
