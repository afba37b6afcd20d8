#ifndef FILEUNPACKTASKSPECIFICATION_ZIP_H
#define FILEUNPACKTASKSPECIFICATION_ZIP_H

#include "unpacktask.h"

class FileUnpackFunc_Zip : public UnpackFunc
{
    Q_OBJECT
public:
    using UnpackFunc::UnpackFunc;

    // Unpacks the gzip file source into destination. The output is written
    // beside the destination and renamed over it only when the whole stream
    // has been read, so a failure leaves the destination as it was (missing,
    // or the previously installed file).
    static bool unpackFile(const QString& source, const QString& destination);
    // Unpacks into out as it is, with no part file.
    static bool unzipTo(const QString& source, const QString& out);

protected:
    bool unpackInto(const QString& out) override;
    const char* logName() const override { return "unzipFile"; }
};

// Unpacks a gzip-compressed download into its destination. Data that is not
// gzip is copied through unchanged.
class FileUnpackTaskSpecification_zip : public UnpackTaskSpecification
{
    Q_OBJECT
public:
    FileUnpackTaskSpecification_zip(RollbackDataList* list, const QString& source, const QString& destination,
                                    QObject* parent, qreal weight);

protected:
    ASyncFunc* createFunc() override;
};

#endif // FILEUNPACKTASKSPECIFICATION_ZIP_H
