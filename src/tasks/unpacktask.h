#ifndef UNPACKTASK_H
#define UNPACKTASK_H

#include "slowfileopspecification.h"

// The task that unpacks a download into destination: through the packed-file
// container for a name with the suffix "_lzma2_", through gzip for any other.
// The unpacked file may have at most outputLimit bytes (the size that the
// signed product ini declares for it).
SlowFileOpSpecification* newUnpackTask(RollbackDataList* list, const QString& download, const QString& destination,
                                       quint64 outputLimit, QObject* parent, qreal weight);

#endif // UNPACKTASK_H
