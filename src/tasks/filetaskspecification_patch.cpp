#include "filetaskspecification_patch.h"

#include "ensemblepatchapplier.h"
#include "durablefile.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "installpath.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

namespace {

// What the diagnostic log says for the engine's failures worth naming.
const struct
{
    deltapatch::PatchStatus status;
    const char* text;
} kPatchFailures[] = {
    {deltapatch::StatusBadMagic, "Not a delta patch"},
    {deltapatch::StatusBadVersion, "Wrong version patch"},
    {deltapatch::StatusBadHeader, "Corrupt patch"},
    {deltapatch::StatusStreamError, "Stream error (likely out of memory or disk space)"},
    {deltapatch::StatusDisassemblyFailed, "Disassembly failed (could be because of memory issues)"},
};

} // namespace

bool ApplyEnsemblePatch(const oschar* oldFile, const oschar* patchPath, const oschar* newFile)
{
    const deltapatch::PatchStatus status = deltapatch::ApplyEnsemblePatchFiles(oldFile, patchPath, newFile);
    qDebug() << "ApplyEnsemblePatch status =" << int(status) << oldFile << patchPath << newFile;
    for (const auto& failure : kPatchFailures) {
        if (failure.status == status)
            qDebug() << failure.text;
    }
    return status == deltapatch::StatusOk;
}

bool copyInstalledBase(const QString& installDir, const QString& installed, const QString& savedOld, quint64 maxSize,
                       QString* error)
{
    QFile::remove(savedOld);
    QDir().mkpath(QFileInfo(savedOld).absolutePath());
    const UniqueFd file(openInstalledFile(installDir, installed));
    if (!file.isValid()) {
        const int err = errno;
        *error = err == ELOOP
            ? QStringLiteral("Refusing to read '%1': its real location is outside the install directory").arg(installed)
            : err == EISDIR ? QStringLiteral("Refusing to read '%1': it is not a regular file").arg(installed)
                            : QStringLiteral("Could not read '%1': %2").arg(installed, errnoText(err));
        return false;
    }
    struct stat st;
    if (::fstat(file.get(), &st) != 0 || st.st_size < 0 || quint64(st.st_size) > maxSize) {
        *error = QStringLiteral("Refusing to read '%1': it is larger than the %2 bytes listed for it")
                     .arg(installed, QString::number(maxSize));
        return false;
    }
    // The open file itself is copied, whatever its path now leads to.
    QString reason;
    const bool copied = copyOpenFileDurably(file.get(), st.st_size, savedOld, &reason);
    qDebug() << "Patch base" << installed << "->" << savedOld << "copied" << copied;
    if (!copied)
        *error = QStringLiteral("Could not copy '%1' to '%2': %3").arg(installed, savedOld, reason);
    return copied;
}

namespace {

bool patchTo(const QString& oldFile, const QString& patchPath, const QString& out)
{
    return ApplyEnsemblePatch(toOsString(oldFile).c_str(), toOsString(patchPath).c_str(), toOsString(out).c_str());
}

} // namespace

bool FileFuncPatch::patchFile(const QString& oldFile, const QString& patchPath, const QString& newFile)
{
    const bool ok = writeBeside(newFile, [&](const QString& out) { return patchTo(oldFile, patchPath, out); });
    qDebug() << "Patch result" << ok;
    return ok;
}

bool FileFuncPatch::run()
{
    const bool ok = produce([this](const QString& out) { return patchTo(m_Source, m_SecondInput, out); });
    qDebug() << "Patch result" << ok;
    return ok;
}

FileTaskSpecification_patch::FileTaskSpecification_patch(RollbackDataList* list, const QString& oldFile,
                                                         const QString& patchPath, const QString& newFile,
                                                         QObject* parent, qreal weight)
    : SlowFileOpSpecification(QStringLiteral("Could not patch '%1' to '%2'").arg(oldFile, newFile), list, oldFile,
                              patchPath, newFile, parent, weight)
{
    qDebug() << "FileTaskSpecification_patch"
             << "srcFile:" << oldFile << "patchFile:" << patchPath << "dstFile:" << newFile;
}

ASyncFunc* FileTaskSpecification_patch::createFunc()
{
    return prepared(new FileFuncPatch(source(), secondInput(), destination()));
}
