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

bool copyPatchBase(const QString& installed, const QString& savedOld)
{
    const bool removed = QFile::remove(savedOld);
    const QString dir = QFileInfo(savedOld).absolutePath();
    const bool made = QDir().mkpath(dir);
    const bool copied = QFile::copy(installed, savedOld);
    qDebug() << "Patch base" << installed << "->" << savedOld << "old copy removed" << removed << "directory" << made
             << "copied" << copied;
    return copied;
}

bool copyInstalledBase(const QString& installDir, const QString& installed, const QString& savedOld, QString* error)
{
    QFile::remove(savedOld);
    QDir().mkpath(QFileInfo(savedOld).absolutePath());
    const UniqueFd file(openInstalledFile(installDir, installed));
    if (!file.isValid()) {
        *error = errno == ELOOP
            ? QStringLiteral("Refusing to read '%1': its real location is outside the install directory").arg(installed)
            : QStringLiteral("Could not read '%1': %2").arg(installed, errorText(errno));
        return false;
    }
    // The open file itself is copied, whatever its path now leads to.
    QFile source(QStringLiteral("/proc/self/fd/%1").arg(file.get()));
    const bool copied = source.copy(savedOld);
    qDebug() << "Patch base" << installed << "->" << savedOld << "copied" << copied;
    if (!copied)
        *error = QStringLiteral("Could not copy '%1' to '%2': %3").arg(installed, savedOld, source.errorString());
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
