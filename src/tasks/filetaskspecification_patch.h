#ifndef FILETASKSPECIFICATION_PATCH_H
#define FILETASKSPECIFICATION_PATCH_H

#include "slowfileopspecification.h"

typedef char oschar;

// Applies an ensemble patch; true only when the engine reports success. The
// engine's failure reasons go to the diagnostic log.
bool ApplyEnsemblePatch(const oschar* oldFile, const oschar* patchPath, const oschar* newFile);

// Copies the installed file a patch applies to (or whose bytes an entry
// keeps) into savedOld, over an older copy and making its directory, so that
// the patch reads a base nothing else replaces meanwhile. The file is opened
// through the install directory as every write below it is: a link to
// another file of the installation gives that file's bytes, one that leads
// out is refused, and so is anything but a regular file, without opening it.
// A file of more than maxSize bytes (the size the product ini lists) is not
// read. False with the reason in *error.
bool copyInstalledBase(const QString& installDir, const QString& installed, const QString& savedOld, quint64 maxSize,
                       QString* error);

class FileFuncPatch : public SlowFileOpFunc
{
    Q_OBJECT
public:
    using SlowFileOpFunc::SlowFileOpFunc;

    static bool patchFile(const QString& oldFile, const QString& patchPath, const QString& newFile);

    bool run() override;
};

// Writes newFile by applying the patch at patchPath to oldFile.
class FileTaskSpecification_patch : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileTaskSpecification_patch(RollbackDataList* list, const QString& oldFile, const QString& patchPath,
                                const QString& newFile, QObject* parent, qreal weight);

protected:
    ASyncFunc* createFunc() override;
};

#endif // FILETASKSPECIFICATION_PATCH_H
