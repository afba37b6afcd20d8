#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "slowfileopspecification.h"

#include <string>

// The patch engine takes 8-bit paths: UTF-8 bytes.
std::string toOsString(const QString& path);

class FileUnpackFunc_lzma2 : public SlowFileOpFunc
{
    Q_OBJECT
public:
    using SlowFileOpFunc::SlowFileOpFunc;

    static bool unpackFile(const QString& source, const QString& destination);
    // Unpacks into out as it is, with no part file.
    static bool unpackTo(const QString& source, const QString& out);

    bool run() override;
};

// Unpacks a download in the packed-file container ("_lzma2_") into its
// destination.
class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList* list, const QString& source, const QString& destination,
                                      QObject* parent, qreal weight);

protected:
    ASyncFunc* createFunc() override;
};

#endif // FILEUNPACKTASKSPECIFICATION_LZMA2_H
