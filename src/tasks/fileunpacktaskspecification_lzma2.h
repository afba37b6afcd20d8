#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "slowfileopspecification.h"

#include <string>

// The patch engine takes 8-bit paths: UTF-8 bytes.
std::string toOsString(const QString& path);

// Creates a new, empty, unused file beside destination and gives its path in
// partPath; the engine writes there and the result is renamed over the
// destination only when complete, so a failure never leaves a half-written
// destination nor removes the file that was there.
bool makePartFile(const QString& destination, QString& partPath);
// Renames a finished part file over destination, keeping the mode of a file
// that was there; removes the part file when that fails.
bool commitPartFile(const QString& partPath, const QString& destination);

class FileUnpackFunc_lzma2 : public SlowFileOpFunc
{
    Q_OBJECT
public:
    using SlowFileOpFunc::SlowFileOpFunc;

    static bool unpackFile(const QString& source, const QString& destination);

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
