#include "treeverifier.h"

#include "crypt.h"
#include "downloadreplacelistdata.h"
#include "ensemblepatchapplier.h"
#include "productininames.h"
#include "productinishape.h"
#include "publishedversions.h"
#include "publishfiles.h"
#include "publishrules.h"
#include "rsakeyfile.h"
#include "serverversions.h"
#include "unpacklzmafile.h"
#include "versionsreply.h"

#include "UpdateMessage.pb.h"
#include "relativepath.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

namespace {

// What a file line says the installed file becomes.
struct Installed
{
    QString hash;
    quint64 size = 0;
    bool packed = false;
};

class IniVerifier
{
public:
    IniVerifier(const VerifyOptions& options, const QString& versionDir, const QString& scratch, VerifyReport& report)
        : m_Options(options), m_VersionDir(versionDir), m_Scratch(scratch), m_Report(report)
    {
    }

    void verify(const QString& iniName, crypt_key_holder& key);

private:
    void problem(const QString& text) { m_Report.problems << m_Ini + QStringLiteral(": ") + text; }
    bool servedMatches(const QString& group, const QString& name, const QString& hash, const QString& sizeText);
    void fileGroup(QSettings& ini, const QString& group);
    void fileLine(const QString& group, const QString& key, const QStringList& parts);
    void patchLine(const QString& group, const QString& key, const QStringList& parts);
    void checkUnpacked(const QString& served, const QString& hash, const QString& sizeText, const QString& target);

    const VerifyOptions& m_Options;
    const QString m_VersionDir;
    const QString m_Scratch;
    VerifyReport& m_Report;
    QString m_Ini;
    QHash<QString, Installed> m_Targets; // of the current group
    QSet<QString> m_WholeDownloads;      // every plain line's name, for install programs
};

bool IniVerifier::servedMatches(const QString& group, const QString& name, const QString& hash, const QString& sizeText)
{
    ++m_Report.files;
    const QString path = QDir(m_VersionDir).filePath(group + QLatin1Char('/') + name);
    const QFileInfo info(path);
    if (!info.isFile()) {
        problem(QStringLiteral("%1/%2 is not on the server").arg(group, name));
        return false;
    }
    bool ok = false;
    const quint64 size = sizeText.toULongLong(&ok);
    if (!ok || size != quint64(info.size())) {
        problem(QStringLiteral("%1/%2 has %3 bytes, its line says %4")
                    .arg(group, name, QString::number(info.size()), sizeText));
        return false;
    }
    if (sha512HexOfFile(path).compare(hash, Qt::CaseInsensitive) != 0) {
        problem(QStringLiteral("%1/%2 does not have the digest its line gives").arg(group, name));
        return false;
    }
    return true;
}

// Unpacked the way the updater unpacks it, the download must become exactly
// the installed file its line promises.
void IniVerifier::checkUnpacked(const QString& served, const QString& hash, const QString& sizeText,
                                const QString& target)
{
    bool sizeOk = false;
    const quint64 size = sizeText.toULongLong(&sizeOk);
    const QString out = QDir(m_Scratch).filePath(QStringLiteral("unpacked"));
    QFile::remove(out);
    const bool lzma = served.endsWith(productIniPackedSuffix);
    const bool unpacked = sizeOk
        && (lzma ? deltapatch::UnpackLzmaFile(QFile::encodeName(served).constData(), QFile::encodeName(out).constData())
                 : gunzipFile(served, out, qint64(qMin<quint64>(size, quint64(1) << 62))));
    if (!unpacked) {
        problem(QStringLiteral("%1 does not unpack").arg(served));
    } else if (quint64(QFileInfo(out).size()) != size || sha512HexOfFile(out).compare(hash, Qt::CaseInsensitive) != 0) {
        problem(QStringLiteral("%1 does not unpack to the %2 its line gives").arg(served, target));
    }
    QFile::remove(out);
}

void IniVerifier::fileLine(const QString& group, const QString& key, const QStringList& parts)
{
    if (!isContainedRelativePath(key)) {
        problem(QStringLiteral("%1/%2 names a path outside its directory").arg(group, key));
        return;
    }
    if (parts.size() == 2) {
        bool ok = false;
        m_Targets.insert(key, Installed{parts.at(0), parts.at(1).toULongLong(&ok), false});
        m_WholeDownloads.insert(key);
        servedMatches(group, key, parts.at(0), parts.at(1));
        return;
    }
    if (parts.size() != 5) {
        problem(
            QStringLiteral("the line %1/%2 has %3 parts, not 2 or 5").arg(group, key, QString::number(parts.size())));
        return;
    }
    const QString target = parts.at(4);
    if (!isContainedRelativePath(target)) {
        problem(QStringLiteral("%1/%2 installs outside the client directory").arg(group, key));
        return;
    }
    bool ok = false;
    m_Targets.insert(target, Installed{parts.at(2), parts.at(3).toULongLong(&ok), true});
    if (servedMatches(group, key, parts.at(0), parts.at(1)))
        checkUnpacked(QDir(m_VersionDir).filePath(group + QLatin1Char('/') + key), parts.at(2), parts.at(3), target);
}

// Applied to every old tree that holds its base, a patch must give exactly
// the installed file of its target.
void IniVerifier::patchLine(const QString& group, const QString& key, const QStringList& parts)
{
    if (parts.size() != 5) {
        problem(QStringLiteral("the patch line %1/%2 has %3 parts, not 5: the updater refuses the whole ini")
                    .arg(group, key, QString::number(parts.size())));
        return;
    }
    const QString target = parts.at(4);
    if (!isContainedRelativePath(key) || !isContainedRelativePath(target)) {
        problem(QStringLiteral("the patch %1/%2 names a path outside its directory").arg(group, key));
        return;
    }
    if (!servedMatches(group, key, parts.at(0), parts.at(1)))
        return;
    const auto it = m_Targets.constFind(target);
    if (it == m_Targets.constEnd() || !it->packed) {
        problem(QStringLiteral("the patch %1/%2 is for %3, which has no packed line in %1: the updater never uses it")
                    .arg(group, key, target));
        return;
    }
    const QString patchPath = QDir(m_VersionDir).filePath(group + QLatin1Char('/') + key);
    const QString out = QDir(m_Scratch).filePath(QStringLiteral("patched"));
    bool tried = false;
    for (const QString& old : m_Options.oldDirs) {
        const QString base = QDir(old).filePath(target);
        if (!QFileInfo(base).isFile() || sha512HexOfFile(base).compare(parts.at(2), Qt::CaseInsensitive) != 0)
            continue;
        tried = true;
        QFile::remove(out);
        const deltapatch::PatchStatus status = deltapatch::ApplyEnsemblePatchFiles(
            QFile::encodeName(base).constData(), QFile::encodeName(patchPath).constData(),
            QFile::encodeName(out).constData());
        if (status != deltapatch::StatusOk) {
            problem(QStringLiteral("the patch %1/%2 fails on %3 with status %4")
                        .arg(group, key, base, QString::number(int(status))));
        } else if (quint64(QFileInfo(out).size()) != it->size
                   || sha512HexOfFile(out).compare(it->hash, Qt::CaseInsensitive) != 0) {
            problem(
                QStringLiteral("the patch %1/%2 applied to %3 does not give the installed file").arg(group, key, base));
        } else {
            ++m_Report.patchesApplied;
        }
        QFile::remove(out);
    }
    if (!tried)
        m_Report.notes
            << QStringLiteral("%1: the patch %2/%3 was not applied: no old tree holds its base").arg(m_Ini, group, key);
}

void IniVerifier::fileGroup(QSettings& ini, const QString& group)
{
    m_Targets.clear();
    const QStringList keys = ini.allKeys();
    for (const QString& key : keys) {
        if (!key.endsWith(productIniPatchSuffix))
            fileLine(group, key, ini.value(key).toString().split(productIniPartSeparator));
    }
    for (const QString& key : keys) {
        if (key.endsWith(productIniPatchSuffix))
            patchLine(group, key, ini.value(key).toString().split(productIniPartSeparator));
    }
}

void IniVerifier::verify(const QString& iniName, crypt_key_holder& key)
{
    m_Ini = iniName;
    m_Report.inis << iniName;
    const QString iniPath = QDir(m_VersionDir).filePath(iniName);
    bool ok = false, sigOk = false;
    const QByteArray ini = readWholeFile(iniPath, &ok);
    const QByteArray sig = readWholeFile(iniPath + productIniSignatureSuffix, &sigOk);
    if (!ok || !sigOk || !rsaSignatureVerifies(key, ini, sig))
        problem(QStringLiteral("the signature does not verify with %1").arg(m_Options.publicKeyPath));

    const QString packed = iniPath + productIniPackedSuffix;
    const QString unpacked = QDir(m_Scratch).filePath(QStringLiteral("ini"));
    QFile::remove(unpacked);
    bool same =
        deltapatch::UnpackLzmaFile(QFile::encodeName(packed).constData(), QFile::encodeName(unpacked).constData());
    same = same && readWholeFile(unpacked, &ok) == ini && ok;
    if (!same)
        problem(QStringLiteral("%1 does not unpack to the signed ini").arg(QFileInfo(packed).fileName()));

    QSettings settings(iniPath, QSettings::IniFormat);
    const QVariant version = settings.value(productIniVersionKey);
    if (!version.isValid())
        m_Report.notes << QStringLiteral("%1: no version key").arg(iniName);
    else if (version.toString() != QString::number(m_Options.version))
        problem(QStringLiteral("its version key says %1, the directory %2")
                    .arg(version.toString(), QString::number(m_Options.version)));

    // What the updater refuses before it reads a single line.
    for (const QString& p : productIniShapeProblems(settings))
        problem(QStringLiteral("the updater refuses the whole ini: %1").arg(p));

    const QStringList groups = settings.childGroups();
    QHash<QString, QStringList> programs;
    for (const QString& g : groups) {
        settings.beginGroup(g);
        if (g == productIniPreInstallGroup || g == productIniPostInstallGroup) {
            programs.insert(g, settings.allKeys());
        } else if (g == productIniDeleteGroup) {
            for (const QString& k : settings.allKeys()) {
                if (!isContainedRelativePath(k))
                    problem(QStringLiteral("the deletion %1 leaves the client directory").arg(k));
            }
        } else {
            fileGroup(settings, g);
        }
        settings.endGroup();
    }
    // An install program is started from its download in the temp directory.
    for (auto it = programs.cbegin(); it != programs.cend(); ++it) {
        for (const QString& program : it.value()) {
            if (!m_WholeDownloads.contains(program))
                problem(QStringLiteral("the %1 program %2 is not published whole").arg(it.key(), program));
        }
    }
}

// The reply as the updater reads it, and as the publisher writes it: every
// channel names a version whose client and updater trees are both here.
void verifyVersionsReply(const VerifyOptions& options, VerifyReport& report)
{
    const QString path = QDir(options.versionsDir).filePath(QLatin1String(kVersionReplyName));
    const auto problem = [&](const QString& text) { report.problems << path + QStringLiteral(": ") + text; };
    bool ok = false;
    const QByteArray bytes = readWholeFile(path, &ok);
    quendrail::update::Versions message;
    if (!ok || bytes.size() > 1024 * 1024) {
        problem(QStringLiteral("cannot be read"));
        return;
    }
    // A changed byte that still parses mostly changes what it says, not how.
    if (!message.ParseFromArray(bytes.constData(), bytes.size())
        || message.SerializeAsString() != std::string(bytes.constData(), size_t(bytes.size()))) {
        problem(QStringLiteral("is not a version reply as the publisher writes it"));
        return;
    }
    QSet<QString> seen;
    for (const quendrail::update::Channel& c : message.channels()) {
        const QString name = QString::fromStdString(c.name()), number = QString::number(c.version_number());
        if (!channelProblem(name).isEmpty() || seen.contains(name)) {
            problem(QStringLiteral("names the channel %1, unknown or named twice").arg(name));
            continue;
        }
        seen.insert(name);
        const QString versionDir = QDir(options.outDir).filePath(number);
        for (int kind : {1, 0}) {
            const QString ini = QDir(versionDir).filePath(productIniName(kind));
            for (const QString& f : {ini, ini + productIniSignatureSuffix, ini + productIniPackedSuffix}) {
                if (!QFileInfo(f).isFile())
                    problem(QStringLiteral("the %1 channel names version %2, but %3 is missing").arg(name, number, f));
            }
        }
    }
    const QString text = options.versionText.isEmpty() ? QString::number(options.version) : options.versionText;
    for (const QString& name : options.channels) {
        bool named = false;
        for (const quendrail::update::Channel& c : message.channels()) {
            if (QString::fromStdString(c.name()) != name || named)
                continue;
            named = true;
            if (c.version_number() != options.version || QString::fromStdString(c.version_string()) != text)
                problem(QStringLiteral("the %1 channel names version %2 (\"%3\"), not %4")
                            .arg(name, QString::number(c.version_number()), QString::fromStdString(c.version_string()),
                                 QString::number(options.version)));
        }
        if (!named)
            problem(QStringLiteral("does not name the %1 channel").arg(name));
    }
}

} // namespace

bool verifyTree(const VerifyOptions& options, VerifyReport* report, QString* error)
{
    *report = VerifyReport();
    crypt_key_holder key;
    if (!readRsaKeyFile(options.publicKeyPath, RsaKeyKind::Public, key, error))
        return false;
    for (const QString& old : options.oldDirs) {
        if (!QFileInfo(old).isDir()) {
            *error = QStringLiteral("no old client directory %1").arg(old);
            return false;
        }
    }
    const QString versionDir = QDir(options.outDir).filePath(QString::number(options.version));
    QStringList inis;
    for (int kind : {1, 0}) {
        if (QFileInfo::exists(QDir(versionDir).filePath(productIniName(kind))))
            inis << productIniName(kind);
    }
    if (inis.isEmpty()) {
        *error = QStringLiteral("%1 holds no product ini").arg(versionDir);
        return false;
    }
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        *error = QStringLiteral("cannot create a scratch directory");
        return false;
    }
    for (const QString& ini : inis)
        IniVerifier(options, versionDir, scratch.path(), *report).verify(ini, key);
    if (inis.size() == 2) {
        const QString name = updaterFileNotCarried(publishedDigests(QDir(versionDir).filePath(productIniName(0))),
                                                   publishedDigests(QDir(versionDir).filePath(productIniName(1))));
        if (!name.isEmpty())
            report->problems << QStringLiteral("%1: the client tree does not carry the updater's %2 byte for byte; %3")
                                    .arg(versionDir, name, QLatin1String(kCarryReason));
    }
    if (!options.versionsDir.isEmpty())
        verifyVersionsReply(options, *report);
    return true;
}
