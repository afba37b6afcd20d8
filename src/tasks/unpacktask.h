#ifndef UNPACKTASK_H
#define UNPACKTASK_H

#include "slowfileopspecification.h"

// The task that unpacks a download into destination: through the packed-file
// container for a name with the suffix "_lzma2_", through gzip for any other.
SlowFileOpSpecification* newUnpackTask(RollbackDataList* list, const QString& download, const QString& destination,
                                       QObject* parent, qreal weight);

#endif // UNPACKTASK_H
