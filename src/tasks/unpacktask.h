#ifndef UNPACKTASK_H
#define UNPACKTASK_H

#include "slowfileopspecification.h"

// The work object of an unpack task: unpackInto() fills out from the source,
// and run() puts the result in place as produce() does.
class UnpackFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    using SlowFileOpFunc::SlowFileOpFunc;

    bool run() override;

protected:
    virtual bool unpackInto(const QString& out) = 0;
    // The word that starts the debug line of a finished run.
    virtual const char* logName() const = 0;
};

// The task of an unpacker; verb names the failure ("Could not <verb> ...").
class UnpackTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    UnpackTaskSpecification(const char* verb, RollbackDataList* list, const QString& source, const QString& destination,
                            QObject* parent, qreal weight);
};

// The task that unpacks a download into destination: through the packed-file
// container for a name with the suffix "_lzma2_", through gzip for any other.
// The unpacked file may have at most outputLimit bytes (the size that the
// signed product ini declares for it).
SlowFileOpSpecification* newUnpackTask(RollbackDataList* list, const QString& download, const QString& destination,
                                       quint64 outputLimit, QObject* parent, qreal weight);

#endif // UNPACKTASK_H
