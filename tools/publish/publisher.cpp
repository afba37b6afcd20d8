#include "publisher.h"

#include "configuration.h"
#include "crypt.h"
#include "ensemblepatchapplier.h"
#include "ensemblepatchgenerator.h"
#include "unpacklzmafile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include <zlib.h>

#include <memory>
#include <vector>

namespace {

QStringList relativeFiles(const QString& root)
{
    QStringList files;
    if (root.isEmpty())
        return files;
    const QDir base(QDir(root).absolutePath());
    QDirIterator it(base.path(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << base.relativeFilePath(it.next());
    files.sort();
    return files;
}

bool ensureParent(const QString& path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath());
}

bool copyOver(const QString& from, const QString& to)
{
    QFile::remove(to);
    return ensureParent(to) && QFile::copy(from, to);
}

QByteArray readAll(const QString& path, bool* ok)
{
    QFile f(path);
    *ok = f.open(QIODevice::ReadOnly);
    return *ok ? f.readAll() : QByteArray();
}

PublishOptions::Form autoForm(const QString& rel, qint64 size)
{
    if (size == 0)
        return PublishOptions::Plain;
    if (rel.endsWith(QLatin1String(".txt")))
        return PublishOptions::Gzip;
    if (rel.endsWith(QLatin1String(".dat")))
        return PublishOptions::Plain;
    return PublishOptions::Lzma2;
}

QString line2(const QString& hash, qint64 size)
{
    return hash + QLatin1String("::") + QString::number(size);
}

QString line5(const QString& hash, qint64 size, const QString& hash2, qint64 size2,
              const QString& target)
{
    return line2(hash, size) + QLatin1String("::") + line2(hash2, size2) + QLatin1String("::")
        + target;
}

// A patch is published only when the engine rebuilds the new file from it
// exactly; otherwise the whole-file line alone serves the file.
bool makeCheckedPatch(const QString& oldPath, const QString& newPath, const QString& patchPath,
                      QString* why)
{
    if (!ensureParent(patchPath)) {
        *why = QStringLiteral("cannot create the patch's directory");
        return false;
    }
    const QByteArray o = QFile::encodeName(oldPath), n = QFile::encodeName(newPath),
                     p = QFile::encodeName(patchPath);
    const deltapatch::PatchStatus made =
        deltapatch::GenerateEnsemblePatchFiles(o.constData(), n.constData(), p.constData());
    if (made != deltapatch::StatusOk) {
        *why = QStringLiteral("patch generation returned status %1").arg(int(made));
        QFile::remove(patchPath);
        return false;
    }
    QTemporaryDir scratch;
    const QString rebuilt = scratch.filePath(QStringLiteral("rebuilt"));
    const QByteArray r = QFile::encodeName(rebuilt);
    const deltapatch::PatchStatus applied =
        deltapatch::ApplyEnsemblePatchFiles(o.constData(), p.constData(), r.constData());
    if (applied != deltapatch::StatusOk || sha512HexOfFile(rebuilt) != sha512HexOfFile(newPath)) {
        *why = QStringLiteral("the patch does not rebuild the new file (status %1)").arg(int(applied));
        QFile::remove(patchPath);
        return false;
    }
    return true;
}

const QLatin1String kPartSeparator("::");
const char* const kCommandGroups[] = {"preinstall", "postinstall"};

// The programs named by install commands, checked against the new tree; they
// must come whole, so the set is known before any file is written.
bool collectInstallPrograms(const PublishOptions& options, const QStringList& newFiles, QSet<QString>* programs,
                            QString* error)
{
    const QList<PublishInstallCommand>* lists[] = {&options.preInstall, &options.postInstall};
    for (int g = 0; g < 2; ++g) {
        QSet<QString> inGroup;
        for (const PublishInstallCommand& c : *lists[g]) {
            if (!newFiles.contains(c.program)) {
                *error = QStringLiteral("the %1 program %2 is not a file of %3")
                             .arg(QLatin1String(kCommandGroups[g]), c.program, options.newDir);
                return false;
            }
            // One key per program and group: a second line would replace the first.
            if (inGroup.contains(c.program)) {
                *error = QStringLiteral("the %1 program %2 is named twice")
                             .arg(QLatin1String(kCommandGroups[g]), c.program);
                return false;
            }
            inGroup.insert(c.program);
            for (const QString& a : c.arguments) {
                if (a.contains(kPartSeparator)) {
                    *error = QStringLiteral("the argument %1 of %2 holds \"::\", which separates arguments")
                                 .arg(a, c.program);
                    return false;
                }
            }
            programs->insert(c.program);
        }
    }
    return true;
}

// The reader takes item 1 as the systems, item 2 as the arguments joined by
// "::" and item 3 "optional"; without arguments the second item is left out,
// unless the optional mark needs its place.
QStringList installCommandValue(const PublishInstallCommand& c)
{
    QStringList items{QStringLiteral("linux64")};
    if (!c.arguments.isEmpty() || c.optional)
        items << c.arguments.join(kPartSeparator);
    if (c.optional)
        items << QStringLiteral("optional");
    return items;
}

// The updater runs a group's commands in the order its ini reader lists the
// keys, which is not the order they were written in.
bool writeInstallCommands(QSettings& ini, const PublishOptions& options, QString* error)
{
    const QList<PublishInstallCommand>* lists[] = {&options.preInstall, &options.postInstall};
    for (int g = 0; g < 2; ++g) {
        if (lists[g]->isEmpty())
            continue;
        QStringList given;
        ini.beginGroup(QLatin1String(kCommandGroups[g]));
        for (const PublishInstallCommand& c : *lists[g]) {
            ini.setValue(c.program, installCommandValue(c));
            given << c.program;
        }
        const QStringList runOrder = ini.allKeys();
        ini.endGroup();
        if (runOrder != given) {
            *error = QStringLiteral("the updater would run the %1 commands in the order %2; give them in that order")
                         .arg(QLatin1String(kCommandGroups[g]), runOrder.join(QStringLiteral(", ")));
            return false;
        }
    }
    return true;
}

// Written ahead of the first group, where group readers do not see it.
bool prependVersionKey(const QString& iniPath, int version)
{
    bool ok = false;
    const QByteArray body = readAll(iniPath, &ok);
    QFile out(iniPath);
    const QByteArray text = "version=" + QByteArray::number(version) + "\n" + body;
    return ok && out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(text) == text.size();
}

} // namespace

QString productIniName(int targetKind)
{
    return (targetKind == 1 ? QStringLiteral("qnd_") : QString()) + iniBaseName(targetKind)
        + QStringLiteral(".ini");
}

QString sha512HexOfFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha512);
    if (!hash.addData(&f))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

bool gzipFile(const QString& source, const QString& destination)
{
    bool ok = false;
    const QByteArray data = readAll(source, &ok);
    if (!ok || !ensureParent(destination))
        return false;
    gzFile out = gzopen(QFile::encodeName(destination).constData(), "wb9");
    if (!out)
        return false;
    const char* p = data.constData();
    qint64 left = data.size();
    while (ok && left > 0) {
        const unsigned chunk = unsigned(qMin<qint64>(left, 1 << 20));
        ok = gzwrite(out, p, chunk) == int(chunk);
        p += chunk;
        left -= chunk;
    }
    return gzclose(out) == Z_OK && ok;
}

bool signFile(const QString& keyPath, const QString& dataPath, const QString& sigPath,
              QString* error)
{
    bool ok = false;
    const QByteArray data = readAll(dataPath, &ok);
    if (!ok) {
        *error = QStringLiteral("cannot read %1").arg(dataPath);
        return false;
    }
    std::vector<unsigned char> sig(1024);
    unsigned long sigLen = sig.size();
    try {
        crypt_key_holder key;
        crypt_import_key_file(key, QFile::encodeName(keyPath).toStdString());
        crypt_sign(key.get(), reinterpret_cast<const unsigned char*>(data.constData()),
                   static_cast<unsigned long>(data.size()), sig.data(), &sigLen);
    } catch (const crypt_exception& e) {
        *error = QStringLiteral("signing with %1 failed: %2").arg(keyPath, QString::fromLocal8Bit(e.what()));
        return false;
    }
    QFile out(sigPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || out.write(reinterpret_cast<const char*>(sig.data()), qint64(sigLen)) != qint64(sigLen)) {
        *error = QStringLiteral("cannot write %1").arg(sigPath);
        return false;
    }
    return true;
}

bool publish(const PublishOptions& options, PublishReport* report, QString* error)
{
    PublishReport local;
    PublishReport& rep = report ? *report : local;
    rep = PublishReport();
    if (options.version <= 0) {
        *error = QStringLiteral("the version must be a number above 0");
        return false;
    }
    if (options.keyPath.isEmpty()) {
        *error = QStringLiteral("no signing key given: the tree is signed with the private key named");
        return false;
    }
    if (!QFileInfo(options.newDir).isDir()) {
        *error = QStringLiteral("no new client directory %1").arg(options.newDir);
        return false;
    }
    if (!options.oldDir.isEmpty() && !QFileInfo(options.oldDir).isDir()) {
        *error = QStringLiteral("no old client directory %1").arg(options.oldDir);
        return false;
    }
    const QString section = !options.section.isEmpty()
        ? options.section
        : QString::fromLatin1(options.targetKind == 1 ? "client" : "update");
    if (section == QLatin1String("delete") || section == QLatin1String("preinstall")
        || section == QLatin1String("postinstall") || section.contains(QLatin1Char('/'))) {
        *error = QStringLiteral("%1 cannot name a file section").arg(section);
        return false;
    }

    const QDir versionDir(QDir(options.outDir).filePath(QString::number(options.version)));
    rep.versionDir = versionDir.path();
    if (!QDir().mkpath(versionDir.path())) {
        *error = QStringLiteral("cannot create %1").arg(versionDir.path());
        return false;
    }
    const QDir filesDir(versionDir.filePath(section));
    const QDir newDir(options.newDir);
    const QDir oldDir(options.oldDir);

    rep.iniPath = versionDir.filePath(productIniName(options.targetKind));
    QFile::remove(rep.iniPath);
    QSettings ini(rep.iniPath, QSettings::IniFormat);

    const QStringList newFiles = relativeFiles(options.newDir);
    const QStringList oldFiles = relativeFiles(options.oldDir);
    QSet<QString> programs;
    if (!collectInstallPrograms(options, newFiles, &programs, error))
        return false;
    // Names the server and the session's temp directory hold; two lines that
    // share one would overwrite each other's download.
    QSet<QString> served;
    auto claim = [&](const QString& name) {
        if (served.contains(name)) {
            *error = QStringLiteral("two downloads would share the name %1").arg(name);
            return false;
        }
        served.insert(name);
        return true;
    };
    for (const QString& rel : newFiles) {
        // The reader takes every key ending so as a patch line.
        if (rel.endsWith(QLatin1String("_patch_"))) {
            *error = QStringLiteral("%1 cannot be published: its name ends in _patch_").arg(rel);
            return false;
        }
        const QString newPath = newDir.filePath(rel);
        const QString hash = sha512HexOfFile(newPath);
        const qint64 size = QFileInfo(newPath).size();
        if (hash.isEmpty()) {
            *error = QStringLiteral("cannot read %1").arg(newPath);
            return false;
        }
        const QString oldPath = options.oldDir.isEmpty() ? QString() : oldDir.filePath(rel);
        const bool hadOld = !oldPath.isEmpty() && oldFiles.contains(rel);
        const QString oldHash = hadOld ? sha512HexOfFile(oldPath) : QString();
        const QString key = section + QLatin1Char('/') + rel;

        if (hadOld && oldHash == hash) {
            if (programs.contains(rel))
                rep.notes << QStringLiteral("install program %1 is unchanged: installations that hold it "
                                            "current do not download it, so their updater cannot start it")
                                 .arg(rel);
            if (!claim(rel))
                return false;
            // A current installed file gets no entry; the whole file is still
            // served for installations that lack it.
            if (!copyOver(newPath, filesDir.filePath(rel))) {
                *error = QStringLiteral("cannot copy %1").arg(newPath);
                return false;
            }
            ini.setValue(key, line2(hash, size));
            rep.unchanged << rel;
            continue;
        }

        PublishOptions::Form form = options.form == PublishOptions::Auto ? autoForm(rel, size) : options.form;
        // An empty file cannot be LZMA2-packed. An install program is started
        // from its download, so it comes whole.
        if (form == PublishOptions::Plain && hadOld && !programs.contains(rel))
            form = PublishOptions::Gzip;
        if (programs.contains(rel))
            form = PublishOptions::Plain;
        if (form == PublishOptions::Lzma2 && size == 0)
            form = hadOld ? PublishOptions::Gzip : PublishOptions::Plain;

        if (form == PublishOptions::Plain) {
            if (!claim(rel))
                return false;
            if (!copyOver(newPath, filesDir.filePath(rel))) {
                *error = QStringLiteral("cannot copy %1").arg(newPath);
                return false;
            }
            ini.setValue(key, line2(hash, size));
            rep.plain << rel;
        } else {
            const bool gz = form == PublishOptions::Gzip;
            const QString name = rel + QLatin1String(gz ? ".gz" : "._lzma2_");
            if (!claim(name))
                return false;
            const QString packed = filesDir.filePath(name);
            QFile::remove(packed);
            bool ok = false;
            if (gz) {
                ok = gzipFile(newPath, packed);
            } else {
                ok = ensureParent(packed)
                    && deltapatch::GenerateLzmaFile(QFile::encodeName(newPath).constData(),
                                                    QFile::encodeName(packed).constData(),
                                                    options.lzmaPreprocess);
            }
            if (!ok) {
                *error = QStringLiteral("cannot pack %1 into %2").arg(newPath, packed);
                return false;
            }
            ini.setValue(section + QLatin1Char('/') + name,
                         line5(sha512HexOfFile(packed), QFileInfo(packed).size(), hash, size, rel));
            (gz ? rep.gzip : rep.lzma2) << rel;
        }

        if (hadOld && options.patches && !oldHash.isEmpty()) {
            const QString patchName = rel + QLatin1Char('.') + oldHash.left(16) + QLatin1String("_patch_");
            if (!claim(patchName))
                return false;
            const QString patchPath = filesDir.filePath(patchName);
            QString why;
            if (makeCheckedPatch(oldPath, newPath, patchPath, &why)) {
                ini.setValue(section + QLatin1Char('/') + patchName,
                             line5(sha512HexOfFile(patchPath), QFileInfo(patchPath).size(), oldHash,
                                   QFileInfo(oldPath).size(), rel));
                rep.patched << rel;
            } else {
                rep.notes << QStringLiteral("no patch for %1: %2").arg(rel, why);
            }
        }
    }
    for (const QString& rel : oldFiles) {
        if (!newFiles.contains(rel)) {
            ini.setValue(QStringLiteral("delete/") + rel, 1);
            rep.deleted << rel;
        }
    }
    if (!writeInstallCommands(ini, options, error))
        return false;
    ini.sync();
    if (ini.status() != QSettings::NoError || !prependVersionKey(rep.iniPath, options.version)) {
        *error = QStringLiteral("cannot write %1").arg(rep.iniPath);
        return false;
    }

    const QString packedIni = rep.iniPath + QStringLiteral("._lzma2_");
    QFile::remove(packedIni);
    if (!deltapatch::GenerateLzmaFile(QFile::encodeName(rep.iniPath).constData(),
                                      QFile::encodeName(packedIni).constData(), false)) {
        *error = QStringLiteral("cannot pack %1").arg(rep.iniPath);
        return false;
    }
    return signFile(options.keyPath, rep.iniPath, rep.iniPath + QStringLiteral(".sig"), error);
}
