// Product inis from a broken or hostile publisher, read the way a session
// reads the verified one, against an install directory with a few files.
// Whatever the bytes, the reader ends, and every name it hands on (download,
// section, installed target, patch, deletion, install program) stays inside
// the directory it is used in.
#include <cstdint>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include "configuration.h"
#include "downloadreplacelistdata.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "relativepath.h"

namespace {

constexpr size_t kMaxIni = 64 << 10;

struct Scratch
{
    QTemporaryDir root;
    QString install;
    int runs = 0;
};

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

Scratch& TheScratch()
{
    static Scratch* scratch = [] {
        auto* s = new Scratch; // lives as long as the process
        s->install = s->root.filePath(QStringLiteral("install"));
        // Installed files for the reader to compare and patch against.
        WriteFile(s->install + QStringLiteral("/a"), "old a\n");
        WriteFile(s->install + QStringLiteral("/lib/b.so"), "old b\n");
        return s;
    }();
    return *scratch;
}

bool Inside(const QString& name)
{
    return isContainedRelativePath(name);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Every refused line is logged; the fuzzer needs none of it.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxIni)
        return 0;
    Scratch& scratch = TheScratch();
    // A temp directory of its own per input: the ini reader caches files by name.
    const QString temp = scratch.root.filePath(QStringLiteral("temp%1").arg(scratch.runs++));
    Configuration config;
    config.m_TempDir = temp;
    config.m_InstallDir = scratch.install;
    config.m_ClientUpdate = 1;
    config.m_Version = 7;
    if (!WriteFile(temp + QStringLiteral("/qnd_client_linux_amd64.ini"),
                   QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size))))
        __builtin_trap();

    DownloadReplaceListData lists;
    MakeDownloadReplaceListFunc reader(&config, &lists);
    reader.run();
    // Checked whether or not the run succeeded: nothing unchecked is ever listed.
    for (const DownloadFileData& d : lists.downloads)
        if (!isPlainRelativePath(d.section) || !Inside(d.name))
            __builtin_trap();
    for (const ReplaceFileData& r : lists.replacements)
        if (!Inside(r.name) || !Inside(r.targetName()) || (!r.patchFile.isEmpty() && !Inside(r.patchFile)))
            __builtin_trap();
    for (const DeleteFileData& d : lists.deletions)
        if (!Inside(d.path))
            __builtin_trap();
    for (const ModeChangeData& m : lists.modeChanges)
        if (!Inside(m.path) || (m.executeBits & ~0111) != 0)
            __builtin_trap();
    for (const ReplaceFileData& r : lists.replacements)
        if (r.executeBits != -1 && (r.executeBits & ~0111) != 0)
            __builtin_trap();
    for (const QList<PrePostInstallData>* commands : {&lists.preInstall, &lists.postInstall})
        for (const PrePostInstallData& c : *commands)
            if (!Inside(c.program))
                __builtin_trap();
    QDir(temp).removeRecursively();
    return 0;
}
