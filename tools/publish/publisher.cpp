#include "publisher.h"

#include "crypt.h"
#include "ensemblepatchapplier.h"
#include "ensemblepatchgenerator.h"
#include "globals.h"
#include "installpath.h"
#include "productininames.h"
#include "publishedversions.h"
#include "publishtree.h"
#include "rsakeyfile.h"
#include "serverversions.h"
#include "unpacklzmafile.h"
#include "versionsreply.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QLatin1String kCommandGroups[] = {productIniPreInstallGroup, productIniPostInstallGroup};

QString line2(const QString& hash, qint64 size)
{
    return hash + productIniPartSeparator + QString::number(size);
}

QString line5(const QString& hash, qint64 size, const QString& hash2, qint64 size2, const QString& target)
{
    return line2(hash, size) + productIniPartSeparator + line2(hash2, size2) + productIniPartSeparator + target;
}

// One way of serving a whole content and where it was written: the scratch
// area until it is placed, then its served file, which later names of the
// same content link to.
struct WholeForm
{
    PublishOptions::Form form = PublishOptions::Plain;
    QString path;
    qint64 size = 0;
    QString servedHash; // known once placed
    bool unpackable = false;
};

// A patch between two contents, made once whatever the number of names that
// share the pair; ok false with the reason in why when there is none.
struct MadePatch
{
    bool ok = false;
    QString why;
    QString path; // as in WholeForm
    qint64 size = 0;
    QString servedHash;
};

// A patch from one old version of a file.
struct PatchForm
{
    QString name;
    MadePatch* made = nullptr;
    QString baseHash;
    qint64 baseSize = 0;
    QString from; // an old file it applies to
};

// Everything one publishing run keeps while it writes the staged tree.
class TreeWriter
{
public:
    TreeWriter(const PublishOptions& options, const QStringList& olds, const QString& section,
               const QString& stagedVersion, const QString& scratch, PublishReport& report, QString* error)
        : m_Options(options), m_Olds(olds), m_Section(section), m_Files(QDir(stagedVersion).filePath(section)),
          m_Scratch(scratch), m_Report(report), m_Error(error)
    {
    }

    // The install programs, which are published whole.
    void setPrograms(const QSet<QString>& programs) { m_Programs = programs; }
    bool publishFile(const QString& rel, QSettings& ini);

private:
    bool fail(const QString& text)
    {
        *m_Error = text;
        return false;
    }
    // Names the server and the session's temp directory hold; two lines that
    // share one would overwrite each other's download.
    bool claim(const QString& name)
    {
        if (m_Served.contains(name))
            return fail(QStringLiteral("two downloads would share the name %1").arg(name));
        m_Served.insert(name);
        return true;
    }
    void say(const QString& line) const
    {
        if (m_Options.progress)
            m_Options.progress(line);
    }
    bool candidate(const QString& rel, const QString& hash, PublishOptions::Form form, WholeForm** out);
    MadePatch* patchFor(const QString& oldHash, const QString& oldPath, const QString& hash, const QString& rel);
    bool place(QString* from, QString* servedHash, const QString& name);
    bool makeCheckedPatch(const QString& oldPath, const QString& newPath, const QString& patchPath, QString* why);

    const PublishOptions& m_Options;
    const QStringList& m_Olds;
    const QString m_Section;
    const QDir m_Files;
    const QString m_Scratch;
    PublishReport& m_Report;
    QString* m_Error;
    QSet<QString> m_Served;
    QSet<QString> m_Programs;
    // Links and copies repeat contents: each form of a content and each patch
    // between two contents is made once and served under every name. Maps,
    // since publishFile holds pointers to elements while it adds others.
    std::map<QString, std::map<int, WholeForm>> m_Wholes; // content digest -> form -> made
    std::map<std::pair<QString, QString>, MadePatch> m_Patches;
};

// The download name of rel in a whole form.
QString wholeName(const QString& rel, PublishOptions::Form form)
{
    if (form == PublishOptions::Plain)
        return rel;
    return rel + (form == PublishOptions::Gzip ? QLatin1String(".gz") : productIniPackedSuffix);
}

// One whole form of the content hash (first met as rel), written into the
// scratch area and measured the first time it is asked for; false when the
// content cannot be packed so.
bool TreeWriter::candidate(const QString& rel, const QString& hash, PublishOptions::Form form, WholeForm** out)
{
    *out = &m_Wholes[hash][form];
    WholeForm& w = **out;
    if (!w.path.isEmpty() || w.unpackable)
        return !w.unpackable;
    const QString newPath = QDir(m_Options.newDir).filePath(rel);
    w.form = form;
    if (form == PublishOptions::Plain) {
        w.path = newPath;
        w.size = QFileInfo(newPath).size();
        return true;
    }
    const bool gz = form == PublishOptions::Gzip;
    const QString path = QDir(m_Scratch).filePath(wholeName(rel, form));
    const bool ok = gz ? gzipFile(newPath, path)
                       : ensureParent(path)
            && deltapatch::GenerateLzmaFile(QFile::encodeName(newPath).constData(), QFile::encodeName(path).constData(),
                                            m_Options.lzmaPreprocess);
    w.size = QFileInfo(path).size();
    if (!ok) {
        w.unpackable = true;
        return false;
    }
    w.path = path;
    say(QStringLiteral("  %1: %2 bytes").arg(QLatin1String(gz ? "gzip" : "lzma2"), QString::number(w.size)));
    return true;
}

// Serves *from under name. The first placement moves (or copies) it in and
// points *from at the served file; later ones hard-link that file, or copy it
// where the file system has no links.
bool TreeWriter::place(QString* from, QString* servedHash, const QString& name)
{
    const QString to = m_Files.filePath(name);
    if (!claim(name))
        return false;
    const bool served = from->startsWith(m_Files.path() + QLatin1Char('/'));
    bool ok = ensureParent(to);
    if (ok && served)
        ok = ::link(QFile::encodeName(*from).constData(), QFile::encodeName(to).constData()) == 0
            || QFile::copy(*from, to);
    else if (ok)
        ok = from->startsWith(m_Scratch + QLatin1Char('/')) ? QFile::rename(*from, to) : QFile::copy(*from, to);
    if (!ok)
        return fail(QStringLiteral("cannot write %1").arg(to));
    if (!served) {
        *from = to;
        *servedHash = sha512HexOfFile(to);
    }
    return true;
}

// A patch is published only when the engine rebuilds the new file from it
// exactly; otherwise the whole-file line alone serves the file.
bool TreeWriter::makeCheckedPatch(const QString& oldPath, const QString& newPath, const QString& patchPath,
                                  QString* why)
{
    if (!ensureParent(patchPath)) {
        *why = QStringLiteral("cannot create the patch's directory");
        return false;
    }
    const QByteArray o = QFile::encodeName(oldPath), n = QFile::encodeName(newPath), p = QFile::encodeName(patchPath);
    const deltapatch::PatchStatus made =
        deltapatch::GenerateEnsemblePatchFiles(o.constData(), n.constData(), p.constData());
    if (made != deltapatch::StatusOk) {
        *why = QStringLiteral("patch generation returned status %1").arg(int(made));
        return false;
    }
    const QString rebuilt = patchPath + QStringLiteral(".rebuilt");
    const QByteArray r = QFile::encodeName(rebuilt);
    const deltapatch::PatchStatus applied =
        deltapatch::ApplyEnsemblePatchFiles(o.constData(), p.constData(), r.constData());
    const bool same = applied == deltapatch::StatusOk && sha512HexOfFile(rebuilt) == sha512HexOfFile(newPath);
    QFile::remove(rebuilt);
    if (!same)
        *why = QStringLiteral("the patch does not rebuild the new file (status %1)").arg(int(applied));
    return same;
}

// The checked patch from oldHash (held at oldPath) to hash, made the first
// time the pair is met (as rel).
MadePatch* TreeWriter::patchFor(const QString& oldHash, const QString& oldPath, const QString& hash, const QString& rel)
{
    const auto pair = std::make_pair(oldHash, hash);
    auto it = m_Patches.find(pair);
    if (it != m_Patches.end())
        return &it->second;
    MadePatch& p = m_Patches[pair];
    const QString path = QDir(m_Scratch).filePath(rel + QLatin1Char('.') + oldHash.left(16) + productIniPatchSuffix);
    p.ok = makeCheckedPatch(oldPath, QDir(m_Options.newDir).filePath(rel), path, &p.why);
    if (p.ok) {
        p.path = path;
        p.size = QFileInfo(path).size();
        say(QStringLiteral("  patch from %1: %2 bytes").arg(oldPath, QString::number(p.size)));
    }
    return &p;
}

bool TreeWriter::publishFile(const QString& rel, QSettings& ini)
{
    const QString newPath = QDir(m_Options.newDir).filePath(rel);
    const QString hash = sha512HexOfFile(newPath);
    const qint64 size = QFileInfo(newPath).size();
    if (hash.isEmpty())
        return fail(QStringLiteral("cannot read %1").arg(newPath));

    // Each distinct older content of the file, with one tree that holds it.
    QMap<QString, QString> olderContents;
    int current = 0;
    for (const QString& old : m_Olds) {
        const QString oldPath = QDir(old).filePath(rel);
        if (!QFileInfo(oldPath).isFile())
            continue;
        const QString oldHash = sha512HexOfFile(oldPath);
        if (oldHash.isEmpty())
            return fail(QStringLiteral("cannot read %1").arg(oldPath));
        if (oldHash == hash)
            ++current;
        else if (!olderContents.contains(oldHash))
            olderContents.insert(oldHash, oldPath);
    }
    const bool program = m_Programs.contains(rel);
    if (!m_Olds.isEmpty() && current == m_Olds.size())
        m_Report.unchanged << rel;
    if (program && current > 0)
        m_Report.notes << QStringLiteral("install program %1 is unchanged: installations that hold it current do "
                                         "not download it, so their updater cannot start it")
                              .arg(rel);

    // An install program is started from its download, so it comes whole.
    // An empty file cannot be LZMA2-packed.
    QList<PublishOptions::Form> forms;
    if (program)
        forms << PublishOptions::Plain;
    else if (m_Options.form != PublishOptions::Auto)
        forms << m_Options.form;
    else
        forms << PublishOptions::Plain << PublishOptions::Gzip << PublishOptions::Lzma2;
    if (size == 0 && forms.removeAll(PublishOptions::Lzma2) > 0 && forms.isEmpty())
        forms << PublishOptions::Plain;
    if (m_Wholes.count(hash) > 0)
        say(QStringLiteral("  the same bytes as a file before it: its downloads serve this name too"));
    std::vector<WholeForm*> wholes;
    for (PublishOptions::Form f : qAsConst(forms)) {
        WholeForm* w = nullptr;
        if (candidate(rel, hash, f, &w))
            wholes.push_back(w);
        else if (forms.size() == 1)
            return fail(
                QStringLiteral("cannot pack %1 into %2").arg(newPath, QDir(m_Scratch).filePath(wholeName(rel, f))));
        else
            m_Report.notes << QStringLiteral("%1 cannot be packed into %2").arg(rel, wholeName(rel, f));
    }
    // The smallest wins; on a tie the one cheapest to install (the list's order).
    auto bySize = [](const WholeForm* a, const WholeForm* b) { return a->size < b->size; };
    const qint64 smallest = (*std::min_element(wholes.begin(), wholes.end(), bySize))->size;

    std::vector<PatchForm> patches;
    if (m_Options.patches && !program) {
        for (auto it = olderContents.cbegin(); it != olderContents.cend(); ++it) {
            PatchForm p;
            p.name = rel + QLatin1Char('.') + it.key().left(16) + productIniPatchSuffix;
            p.baseHash = it.key();
            p.baseSize = QFileInfo(it.value()).size();
            p.from = it.value();
            p.made = patchFor(it.key(), it.value(), hash, rel);
            if (!p.made->ok) {
                m_Report.notes << QStringLiteral("no patch for %1 from %2: %3").arg(rel, it.value(), p.made->why);
                continue;
            }
            if (p.made->size >= smallest) {
                m_Report.notes << QStringLiteral("no patch for %1 from %2: the patch (%3 bytes) is not smaller than "
                                                 "the whole download (%4 bytes)")
                                      .arg(rel, it.value(), QString::number(p.made->size), QString::number(smallest));
                continue;
            }
            patches.push_back(p);
        }
    }
    // The reader applies patches only to files that come packed.
    if (!patches.empty()) {
        wholes.erase(std::remove_if(wholes.begin(), wholes.end(),
                                    [](const WholeForm* w) { return w->form == PublishOptions::Plain; }),
                     wholes.end());
        if (wholes.empty()) {
            WholeForm* w = nullptr;
            if (!candidate(rel, hash, PublishOptions::Gzip, &w))
                return fail(QStringLiteral("cannot pack %1 into %2")
                                .arg(newPath, QDir(m_Scratch).filePath(wholeName(rel, PublishOptions::Gzip))));
            wholes.push_back(w);
        }
    }
    WholeForm& chosen = **std::min_element(wholes.begin(), wholes.end(), bySize);
    const QString name = wholeName(rel, chosen.form);
    if (!place(&chosen.path, &chosen.servedHash, name))
        return false;
    const QString key = m_Section + QLatin1Char('/') + name;
    if (chosen.form == PublishOptions::Plain) {
        ini.setValue(key, line2(hash, size));
        m_Report.plain << rel;
    } else {
        ini.setValue(key, line5(chosen.servedHash, chosen.size, hash, size, rel));
        (chosen.form == PublishOptions::Gzip ? m_Report.gzip : m_Report.lzma2) << rel;
    }
    for (const PatchForm& p : patches) {
        if (!place(&p.made->path, &p.made->servedHash, p.name))
            return false;
        ini.setValue(m_Section + QLatin1Char('/') + p.name,
                     line5(p.made->servedHash, p.made->size, p.baseHash, p.baseSize, rel));
        m_Report.patched << (m_Olds.size() > 1 ? QStringLiteral("%1 (from %2)").arg(rel, p.from) : rel);
    }
    return true;
}

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
                             .arg(kCommandGroups[g], c.program, options.newDir);
                return false;
            }
            // One key per program and group: a second line would replace the first.
            if (inGroup.contains(c.program)) {
                *error = QStringLiteral("the %1 program %2 is named twice").arg(kCommandGroups[g], c.program);
                return false;
            }
            inGroup.insert(c.program);
            for (const QString& a : c.arguments) {
                if (a.contains(productIniPartSeparator)) {
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
    QStringList items{productIniPlatformName};
    if (!c.arguments.isEmpty() || c.optional)
        items << c.arguments.join(productIniPartSeparator);
    if (c.optional)
        items << productIniOptionalWord;
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
        ini.beginGroup(kCommandGroups[g]);
        for (const PublishInstallCommand& c : *lists[g]) {
            ini.setValue(c.program, installCommandValue(c));
            given << c.program;
        }
        const QStringList runOrder = ini.allKeys();
        ini.endGroup();
        if (runOrder != given) {
            *error = QStringLiteral("the updater would run the %1 commands in the order %2; give them in that order")
                         .arg(kCommandGroups[g], runOrder.join(QStringLiteral(", ")));
            return false;
        }
    }
    return true;
}

// Written ahead of the first group, where group readers do not see it.
bool prependVersionKey(const QString& iniPath, int version)
{
    bool ok = false;
    const QByteArray body = readWholeFile(iniPath, &ok);
    QFile out(iniPath);
    const QByteArray text = QByteArray(productIniVersionKey.data()) + '=' + QByteArray::number(version) + "\n" + body;
    return ok && out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(text) == text.size() && out.flush();
}

// The RSA-PSS signature of the ini, checked with the same key before it is
// kept: a key whose parts disagree must not publish a tree nobody can verify.
bool signIni(crypt_key_holder& key, const QString& iniPath, QString* error)
{
    bool ok = false;
    const QByteArray data = readWholeFile(iniPath, &ok);
    if (!ok) {
        *error = QStringLiteral("cannot read %1").arg(iniPath);
        return false;
    }
    const QString name = QFileInfo(iniPath).fileName();
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    std::vector<unsigned char> sig(std::max<size_t>(1024, (ltc_mp.count_bits(key.get()->N) + 7) / 8));
    unsigned long sigLen = static_cast<unsigned long>(sig.size());
    try {
        crypt_sign(key.get(), bytes, static_cast<unsigned long>(data.size()), sig.data(), &sigLen);
        if (!crypt_verify(key.get(), bytes, static_cast<unsigned long>(data.size()), sig.data(), sigLen)) {
            *error = QStringLiteral("the signature of %1 does not verify with the key's own public half").arg(name);
            return false;
        }
    } catch (const crypt_exception& e) {
        *error = QStringLiteral("signing %1 failed: %2").arg(name, QString::fromLocal8Bit(e.what()));
        return false;
    }
    QFile out(iniPath + productIniSignatureSuffix);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || out.write(reinterpret_cast<const char*>(sig.data()), qint64(sigLen)) != qint64(sigLen) || !out.flush()) {
        *error = QStringLiteral("cannot write %1").arg(out.fileName());
        return false;
    }
    return true;
}

QStringList oldTrees(const PublishOptions& options)
{
    QStringList olds;
    if (!options.oldDir.isEmpty())
        olds << options.oldDir;
    for (const QString& d : options.oldDirs) {
        if (!olds.contains(d))
            olds << d;
    }
    return olds;
}

// The canonical form of a path that may not exist yet: its deepest existing
// ancestor resolved, the rest appended.
QString resolvedPath(const QString& path)
{
    QString head = QFileInfo(path).absoluteFilePath(), tail;
    while (!QFileInfo::exists(head) && head != QLatin1String("/")) {
        tail = QFileInfo(head).fileName() + (tail.isEmpty() ? QString() : QLatin1Char('/') + tail);
        head = QFileInfo(head).absolutePath();
    }
    const QString canonical = QFileInfo(head).canonicalFilePath();
    return QDir::cleanPath(canonical + (tail.isEmpty() ? QString() : QLatin1Char('/') + tail));
}

bool within(const QString& inner, const QString& outer)
{
    return inner == outer || inner.startsWith(outer == QLatin1String("/") ? outer : outer + QLatin1Char('/'));
}

// Paths that would ship the server tree, the key or an old version to
// clients, or publish a tree over itself.
QString nestingProblem(const PublishOptions& options, const QStringList& olds)
{
    const QString newDir = resolvedPath(options.newDir), out = resolvedPath(options.outDir);
    if (within(out, newDir))
        return QStringLiteral("--out %1 is inside --new %2: the next version would ship the server tree to clients")
            .arg(options.outDir, options.newDir);
    if (within(newDir, out))
        return QStringLiteral("--new %1 is inside --out %2: a server would serve the unpublished files")
            .arg(options.newDir, options.outDir);
    if (!options.versionsDir.isEmpty() && within(resolvedPath(options.versionsDir), newDir))
        return QStringLiteral("--versions-dir %1 is inside --new %2").arg(options.versionsDir, options.newDir);
    if (!options.keyPath.isEmpty() && within(resolvedPath(options.keyPath), newDir))
        return QStringLiteral("the key %1 is inside --new %2: clients would download it")
            .arg(options.keyPath, options.newDir);
    for (const QString& old : olds) {
        const QString o = resolvedPath(old);
        if (within(o, newDir) || within(newDir, o))
            return QStringLiteral("--old %1 and --new %2 are the same folder or one holds the other")
                .arg(old, options.newDir);
    }
    return QString();
}

bool checkOptions(const PublishOptions& options, const QStringList& olds, const QString& section, QString* error)
{
    if (options.version <= 0)
        *error = QStringLiteral("the version must be a number above 0");
    else if (options.keyPath.isEmpty())
        *error = QStringLiteral("no signing key given: the tree is signed with the private key named");
    else if (options.outDir.isEmpty())
        *error = QStringLiteral("no output directory given");
    else if (!QFileInfo(options.newDir).isDir())
        *error = QStringLiteral("no new client directory %1").arg(options.newDir);
    else
        *error = sectionProblem(section);
    for (const QString& old : olds) {
        if (error->isEmpty() && !QFileInfo(old).isDir())
            *error = QStringLiteral("no old client directory %1").arg(old);
    }
    if (error->isEmpty())
        *error = nestingProblem(options, olds);
    return error->isEmpty();
}

// The key's public half as the updater holds it; empty when it does not fit.
QByteArray publicBlock(crypt_key_holder& key)
{
    std::vector<unsigned char> block(crypt_key_block_size);
    unsigned long len = static_cast<unsigned long>(block.size());
    if (rsa_export(block.data(), &len, PK_PUBLIC, key.get()) != CRYPT_OK)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(block.data()), int(len));
}

// The updater refuses keys under 1024 bits, and is built with the public half
// in a fixed block; a key outside that range is refused before any work.
bool checkKeySize(crypt_key_holder& key, const QString& path, QString* error)
{
    const int bits = ltc_mp.count_bits(key.get()->N);
    if (bits < 1024) {
        *error = QStringLiteral("%1 is a %2-bit key; the updater refuses keys under 1024 bits")
                     .arg(path, QString::number(bits));
        return false;
    }
    if (publicBlock(key).isEmpty()) {
        *error = QStringLiteral("%1 is a %2-bit key; the updater holds public keys of at most %3 bytes (16272 bits)")
                     .arg(path, QString::number(bits), QString::number(crypt_key_block_size));
        return false;
    }
    return true;
}

// A key other than the updater's signs trees every client refuses, and the
// version number is used up by then.
bool checkKeyPair(crypt_key_holder& key, const PublishOptions& options, QString* error)
{
    if (options.publicKeyPath.isEmpty())
        return true;
    crypt_key_holder updaterKey;
    if (!readRsaKeyFile(options.publicKeyPath, RsaKeyKind::Public, updaterKey, error))
        return false;
    if (publicBlock(key) == publicBlock(updaterKey))
        return true;
    *error = QStringLiteral("%1 is not the private half of --public-key %2: the updater would refuse every tree it "
                            "signs")
                 .arg(options.keyPath, options.publicKeyPath);
    return false;
}

// A key that does not verify the newest version OUT serves is not the one the
// updater is built with: it would use up a version number on a tree no
// updater accepts. Checked with or without --public-key.
bool checkKeyAgainstPublished(crypt_key_holder& key, const PublishOptions& options, QString* error)
{
    int newest = 0;
    for (int kind : {1, 0}) {
        const QList<int> versions = publishedVersions(options.outDir, kind);
        if (!versions.isEmpty())
            newest = std::max(newest, versions.first());
    }
    const QDir versionDir(QDir(options.outDir).filePath(QString::number(newest)));
    for (int kind : {1, 0}) {
        const QString ini = versionDir.filePath(productIniName(kind));
        if (newest == 0 || !QFileInfo(ini + productIniPackedSuffix).isFile())
            continue;
        // No signature the updater checks is larger than its key block.
        const QString sigPath = ini + productIniSignatureSuffix;
        bool ok = QFileInfo(ini).size() <= kMaxProductIniBytes && QFileInfo(sigPath).size() <= crypt_key_block_size;
        const QByteArray data = ok ? readWholeFile(ini, &ok) : QByteArray();
        const QByteArray sig = ok ? readWholeFile(sigPath, &ok) : QByteArray();
        if (ok && rsaSignatureVerifies(key, data, sig))
            continue;
        *error = QStringLiteral("%1 does not verify the signature of %2, the newest version published in %3: the "
                                "updater would refuse every tree it signs")
                     .arg(options.keyPath, ini, options.outDir);
        return false;
    }
    return true;
}

// Publishes into one OUT take turns, so that what a run checks against OUT
// (the carry rule, a version never rewritten, the key) still holds when it
// moves its tree into place. The lock is on OUT itself, which no server lists
// as a version, and ends with the process however it ends.
class OutLock
{
public:
    bool take(const QString& outDir, const std::function<void(const QString&)>& progress, QString* error)
    {
        m_Fd = UniqueFd(::open(QFile::encodeName(outDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (m_Fd.isValid() && ::flock(m_Fd.get(), LOCK_EX | LOCK_NB) == 0)
            return true;
        if (m_Fd.isValid() && errno == EWOULDBLOCK) {
            if (progress)
                progress(QStringLiteral("waiting for another qnd_publish run into %1 to end").arg(outDir));
            int got = 0;
            while ((got = ::flock(m_Fd.get(), LOCK_EX)) != 0 && errno == EINTR) {}
            if (got == 0)
                return true;
        }
        *error = QStringLiteral("cannot lock %1 against other publishing runs: %2")
                     .arg(outDir, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }

private:
    UniqueFd m_Fd;
};

// Paths of the tree whose names the updater reads otherwise: its own names
// at the top of an installation, and names the reader takes for patches. The
// updater's program is not among them in a client tree: that tree carries it,
// so that the client step replaces the installed updater like any other file.
QStringList reservedNameProblems(const PublishTree& tree, const PublishOptions& options)
{
    QStringList problems;
    for (const QString& name : updaterOwnNames(0)) {
        if (tree.files.contains(name) || tree.dirs.contains(name))
            problems << QStringLiteral("%1: the name %2 belongs to the updater in a client directory")
                            .arg(QDir(options.newDir).filePath(name), name);
    }
    const QString program = updaterProgramName;
    // The client step would move the installed updater aside for a folder.
    if (options.targetKind == 1 && tree.dirs.contains(program))
        problems << QStringLiteral("%1: the name %2 belongs to the updater's program in a client directory")
                        .arg(QDir(options.newDir).filePath(program), program);
    // Installed as it is published: without its owner's execute bit every
    // later start of the updater would fail.
    if (options.targetKind == 1 && tree.files.contains(program) && !(tree.modes.value(program) & 0100))
        problems << QStringLiteral("%1: the updater program must be executable by its owner, or clients lose their "
                                   "updater")
                        .arg(QDir(options.newDir).filePath(program));
    for (const QString& rel : tree.files) {
        if (rel.endsWith(productIniPatchSuffix))
            problems << QStringLiteral("%1: its name ends in _patch_, which the updater reads as a patch")
                            .arg(QDir(options.newDir).filePath(rel));
    }
    return problems;
}

QHash<QString, QString> treeDigests(const PublishTree& tree, const QString& root)
{
    QHash<QString, QString> digests;
    for (const QString& rel : tree.files)
        digests.insert(rel, sha512HexOfFile(QDir(root).filePath(rel)).toLower());
    return digests;
}

// Checked by whichever of a version's two trees is published second.
QString updaterFilesProblem(const PublishTree& tree, const PublishOptions& options, const QString& versionDir)
{
    const QString otherIni = QDir(versionDir).filePath(productIniName(options.targetKind == 1 ? 0 : 1));
    if (!QFileInfo(otherIni).isFile())
        return QString();
    const QHash<QString, QString> published = publishedDigests(otherIni);
    const QHash<QString, QString> mine = treeDigests(tree, options.newDir);
    if (options.targetKind == 1) {
        const QString name = updaterFileNotCarried(published, mine);
        return name.isEmpty() ? QString()
                              : QStringLiteral("%1 must be the updater's %2 of version %3 as published in %4: %5")
                                    .arg(QDir(options.newDir).filePath(name), name, QString::number(options.version),
                                         versionDir, QLatin1String(kCarryReason));
    }
    const QString name = updaterFileNotCarried(mine, published);
    return name.isEmpty()
        ? QString()
        : QStringLiteral("%1: the client tree of version %2 in %3 does not carry this file byte for byte; %4. "
                         "Remove %3 and publish the client tree again with the updater's files in it")
              .arg(QDir(options.newDir).filePath(name), QString::number(options.version), versionDir,
                   QLatin1String(kCarryReason));
}

// A line carries at least the name, a digest and a size.
bool iniCanFit(const PublishTree& tree, QString* error)
{
    qint64 least = 0;
    for (const QString& rel : tree.files)
        least += rel.toUtf8().size() + 130;
    if (least <= kMaxProductIniBytes)
        return true;
    *error = QStringLiteral("%1 files need a product ini of more than %2 bytes, which the updater refuses")
                 .arg(tree.files.size())
                 .arg(kMaxProductIniBytes);
    return false;
}

// "<bits>::<name>" for each file with an execute bit, and a note for each file
// whose mode a client does not get: clients take the execute bits from here
// and the rest from their own umask.
QStringList executablesRecord(const PublishTree& tree, const QString& root, QStringList* notes)
{
    QStringList record;
    for (const QString& rel : tree.files) {
        const int mode = tree.modes.value(rel);
        if (mode & 0111)
            record << QStringLiteral("%1").arg(mode & 0111, 3, 8, QLatin1Char('0')) + productIniPartSeparator + rel;
        QStringList lost;
        if (mode & 07000)
            lost << QStringLiteral("set-user-ID, set-group-ID or sticky bits");
        if ((mode & 0222) != 0200)
            lost << QStringLiteral("write bits other than the owner's");
        for (int shift : {6, 3, 0}) {
            if ((mode >> shift & 1) && !(mode >> shift & 4)) {
                lost << QStringLiteral("an execute bit without its read bit");
                break;
            }
        }
        if (!lost.isEmpty())
            notes->append(QStringLiteral("%1 has mode %2, which clients do not get (%3): they get its execute bits "
                                         "and read and write bits by their umask")
                              .arg(QDir(root).filePath(rel), QStringLiteral("%1").arg(mode, 4, 8, QLatin1Char('0')),
                                   lost.join(QStringLiteral(", "))));
    }
    return record;
}

// What the old trees hold and the new one does not: files first, then
// folders deepest first, each with the value that removes a folder only when
// it is empty, so that nothing a user put there is deleted.
QStringList removedPaths(const PublishTree& newTree, const QList<PublishTree>& olds)
{
    // A path the new tree still has, as a file or a folder, is never removed:
    // the updater replaces an entry whose type changes itself.
    QSet<QString> kept = newTree.dirs, files, dirs;
    for (const QString& f : newTree.files)
        kept.insert(f);
    for (const PublishTree& old : olds) {
        for (const QString& f : old.files) {
            if (!kept.contains(f))
                files.insert(f);
        }
        for (const QString& d : old.dirs) {
            if (!kept.contains(d))
                dirs.insert(d);
        }
    }
    QStringList sortedFiles = files.values(), sortedDirs = dirs.values();
    sortedFiles.sort();
    std::sort(sortedDirs.begin(), sortedDirs.end(), [](const QString& a, const QString& b) {
        const int da = a.count(QLatin1Char('/')), db = b.count(QLatin1Char('/'));
        return da != db ? da > db : a < b;
    });
    return sortedFiles + sortedDirs;
}

// Served whatever the source's mode: a web server running as another user
// must read every file.
bool setServedModes(const QString& root)
{
    bool ok = ::chmod(QFile::encodeName(root).constData(), 0755) == 0;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        ok = ::chmod(QFile::encodeName(path).constData(), it.fileInfo().isDir() ? 0755 : 0644) == 0 && ok;
    }
    return ok;
}

// Where a run stages its tree: beside OUT, on the same file system so that
// the tree moves into place in whole steps, and where no server of OUT looks;
// inside OUT only when OUT is a mount point or its parent is not writable.
struct StageSite
{
    QString dir;
    QString prefix; // followed by the run's process id, "-" and a random part
};

QList<StageSite> stageSites(const QString& outDir)
{
    const QFileInfo out(QFileInfo(outDir).absoluteFilePath());
    const QString parent = out.absolutePath();
    struct stat a, b;
    const bool beside = ::stat(QFile::encodeName(parent).constData(), &a) == 0
        && ::stat(QFile::encodeName(out.filePath()).constData(), &b) == 0 && a.st_dev == b.st_dev
        && ::access(QFile::encodeName(parent).constData(), W_OK | X_OK) == 0;
    const StageSite inside{out.filePath(), QStringLiteral(".qnd_publish-")};
    if (!beside)
        return {inside};
    return {{parent, QLatin1Char('.') + out.fileName() + QStringLiteral(".qnd_publish-")}, inside};
}

// Staging directories of runs that no longer exist (killed, or older
// publishers that staged inside OUT).
void removeStaleStages(const QList<StageSite>& sites, QStringList* notes)
{
    for (const StageSite& site : sites) {
        const QStringList found = QDir(site.dir).entryList({site.prefix + QLatin1Char('*')},
                                                           QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
        for (const QString& name : found) {
            if (!leftByEndedRun(name, site.prefix))
                continue;
            const QString path = QDir(site.dir).filePath(name);
            if (QDir(path).removeRecursively())
                notes->append(QStringLiteral("removed %1, left by an interrupted run").arg(path));
        }
    }
}

// Removes the staging folder as soon as this process ends, however it ends
// (Ctrl-C and kills included), so that no half-written tree waits in a folder
// a server may list until the next run. A shell in its own process group,
// deaf to the terminal's signals, waits for the end of a pipe that only this
// process holds; a normal end has removed the folder by then.
class StagingSweeper
{
public:
    explicit StagingSweeper(const QString& dir)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attr;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 3);
        sigset_t deaf;
        sigemptyset(&deaf);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaddset(&deaf, sig);
        posix_spawnattr_setsigmask(&attr, &deaf);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
        const QByteArray path = QFile::encodeName(dir);
        // Left running in the background, so that the shell this process
        // waits for ends at once and no child of this process is left over.
        char sh[] = "/bin/sh", c[] = "-c", script[] = "{ cat <&3 >/dev/null; exec rm -rf -- \"$1\"; } &",
             name[] = "qnd_publish-sweeper";
        char* argv[] = {sh, c, script, name, const_cast<char*>(path.constData()), nullptr};
        pid_t pid = 0;
        if (posix_spawn(&pid, sh, &actions, &attr, argv, environ) == 0) {
            m_Pipe = fds[1];
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
        } else {
            ::close(fds[1]);
        }
        ::close(fds[0]);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    // The sweeper outlives a normal end by a moment, with nothing left to do.
    ~StagingSweeper()
    {
        if (m_Pipe >= 0)
            ::close(m_Pipe);
    }
    StagingSweeper(const StagingSweeper&) = delete;
    StagingSweeper& operator=(const StagingSweeper&) = delete;

private:
    int m_Pipe = -1;
};

// The staged entries of one target, in the order they are moved into place:
// the files first and the ini the updater fetches first last, so that a
// client never finds an ini whose files are still missing.
QStringList stagedEntries(const QString& section, const QString& iniName)
{
    return {section, iniName, iniName + productIniSignatureSuffix, iniName + productIniPackedSuffix};
}

bool alreadyPublished(const QString& versionDir, const QStringList& entries, QString* error)
{
    for (const QString& e : entries) {
        const QString path = QDir(versionDir).filePath(e);
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            *error = QStringLiteral("%1 already exists: a published version is never rewritten; publish a new version "
                                    "number or remove the old tree first")
                         .arg(path);
            return true;
        }
    }
    return false;
}

// Entries moved into place by a run killed before it moved the last one (the
// packed ini, which no updater can fetch yet): never served, so removed.
void removeInterruptedMove(const QString& versionDir, const QStringList& entries, QStringList* notes)
{
    const QDir version(versionDir);
    if (QFileInfo::exists(version.filePath(entries.last())))
        return;
    for (const QString& e : entries) {
        const QString path = version.filePath(e);
        const bool removed = QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path);
        if (removed)
            notes->append(QStringLiteral("removed %1, left by an interrupted run").arg(path));
    }
}

bool moveIntoPlace(const QString& stagedVersion, const QString& versionDir, const QStringList& entries, QString* error)
{
    if (alreadyPublished(versionDir, entries, error))
        return false;
    if (!QFileInfo::exists(versionDir)) {
        if (QDir().rename(stagedVersion, versionDir))
            return true;
        *error = QStringLiteral("cannot move %1 to %2").arg(stagedVersion, versionDir);
        return false;
    }
    for (const QString& e : entries) {
        const QString from = QDir(stagedVersion).filePath(e), to = QDir(versionDir).filePath(e);
        if (!QDir().rename(from, to)) {
            *error = QStringLiteral("cannot move %1 to %2; the version is incomplete").arg(from, to);
            return false;
        }
    }
    return true;
}

} // namespace

QString productIniName(int targetKind)
{
    return productIniFileName(targetKind);
}

QString sectionProblem(const QString& section)
{
    // "General" is where the ini format keeps keys outside every group.
    if (section == productIniDeleteGroup || section == productIniPreInstallGroup
        || section == productIniPostInstallGroup || section == productIniGeneralGroup
        || section.contains(QLatin1Char('/')) || section.startsWith(QLatin1Char('.')))
        return QStringLiteral("%1 cannot name a file section").arg(section);
    return QString();
}

namespace {

// Whether both targets of the version are published, as a reply needs.
bool bothTreesPublished(const QString& versionDir, int targetKind, QString* error)
{
    for (int kind : {1, 0}) {
        if (kind == targetKind)
            continue;
        const QString ini = QDir(versionDir).filePath(productIniName(kind));
        for (const QString& f : {ini, ini + productIniSignatureSuffix, ini + productIniPackedSuffix}) {
            if (!QFileInfo(f).isFile()) {
                *error = QStringLiteral("the version reply may only name a version whose client and updater trees are "
                                        "both published, and %1 has no %2 tree (%3 is missing): publish it first, or "
                                        "leave --channel out and write the reply later with --reply-only")
                             .arg(versionDir, QLatin1String(kind == 1 ? "client" : "updater"), f);
                return false;
            }
        }
    }
    return true;
}

bool writeReply(const PublishOptions& options, PublishReport& rep, QString* error)
{
    rep.versionsReplyPath = QDir(options.versionsDir).filePath(QLatin1String(kVersionReplyName));
    const QString text = options.versionText.isEmpty() ? QString::number(options.version) : options.versionText;
    return writeVersionsReply(rep.versionsReplyPath, options.channels, options.version, text, error);
}

} // namespace

bool publishVersionsReply(const PublishOptions& options, PublishReport* report, QString* error)
{
    PublishReport local;
    PublishReport& rep = report ? *report : local;
    rep = PublishReport();
    error->clear();
    const QString versionDir = QDir(options.outDir).filePath(QString::number(options.version));
    if (options.version <= 0 || options.channels.isEmpty()) {
        *error = QStringLiteral("the reply needs a version above 0 and at least one channel");
        return false;
    }
    OutLock lock;
    if (QFileInfo(options.outDir).isDir() && !lock.take(options.outDir, options.progress, error))
        return false;
    return bothTreesPublished(versionDir, -1, error)
        && checkVersionsReply(options.versionsDir, options.channels, options.version, options.allowOlder, error)
        && writeReply(options, rep, error);
}

bool publish(const PublishOptions& options, PublishReport* report, QString* error)
{
    PublishReport local;
    PublishReport& rep = report ? *report : local;
    rep = PublishReport();
    error->clear();
    const QStringList olds = oldTrees(options);
    const QString section = !options.section.isEmpty()
        ? options.section
        : QString::fromLatin1(options.targetKind == 1 ? "client" : "update");
    if (!checkOptions(options, olds, section, error))
        return false;
    crypt_key_holder key;
    if (!readRsaKeyFile(options.keyPath, RsaKeyKind::Private, key, error) || !checkKeySize(key, options.keyPath, error)
        || !checkKeyPair(key, options, error))
        return false;
    if (!QDir().mkpath(options.outDir)) {
        *error = QStringLiteral("cannot create %1").arg(options.outDir);
        return false;
    }
    // Held to the end: everything below reads or writes what OUT holds.
    OutLock lock;
    if (!lock.take(options.outDir, options.progress, error) || !checkKeyAgainstPublished(key, options, error))
        return false;
    const QString iniName = productIniName(options.targetKind);
    const QString versionDir = QDir(options.outDir).filePath(QString::number(options.version));
    const bool withReply = !options.channels.isEmpty();
    if (withReply
        && (!checkVersionsReply(options.versionsDir, options.channels, options.version, options.allowOlder, error)
            || !bothTreesPublished(versionDir, options.targetKind, error)))
        return false;

    PublishTree newTree;
    scanNewTree(options.newDir, &newTree, &rep.notes, &rep.refused);
    rep.refused += reservedNameProblems(newTree, options);
    if (!rep.refused.isEmpty()) {
        *error = QStringLiteral("%1 cannot be published; fix these paths and run again:\n  %2")
                     .arg(options.newDir, rep.refused.join(QStringLiteral("\n  ")));
        return false;
    }
    if (newTree.files.isEmpty()) {
        *error = QStringLiteral("%1 holds no files to publish").arg(options.newDir);
        return false;
    }
    *error = updaterFilesProblem(newTree, options, versionDir);
    if (!error->isEmpty() || !iniCanFit(newTree, error))
        return false;
    QList<PublishTree> oldTreesRead;
    for (const QString& old : olds) {
        oldTreesRead.append(PublishTree());
        if (!scanOldTree(old, &oldTreesRead.last(), &rep.notes, error)
            || !matchesPublishedVersion(options.outDir, options.targetKind, old, oldTreesRead.last(), error))
            return false;
    }
    QSet<QString> programs;
    if (!collectInstallPrograms(options, newTree.files, &programs, error))
        return false;

    const QStringList entries = stagedEntries(section, iniName);
    removeInterruptedMove(versionDir, entries, &rep.notes);
    if (alreadyPublished(versionDir, entries, error))
        return false;
    const QList<StageSite> sites = stageSites(options.outDir);
    removeStaleStages(sites, &rep.notes);
    // Dropped with everything in it on any failure, by the sweeper when the
    // run is killed, and by the next run if both are (the sweeper is declared
    // first, so that a normal end has removed the folder before it acts).
    std::optional<StagingSweeper> sweeper;
    QTemporaryDir staging(
        QDir(sites.first().dir)
            .filePath(sites.first().prefix + QString::number(::getpid()) + QStringLiteral("-XXXXXX")));
    const QString stagedVersion = staging.filePath(QString::number(options.version));
    const QString scratch = staging.filePath(QStringLiteral("scratch"));
    if (!staging.isValid() || !QDir().mkpath(stagedVersion) || !QDir().mkpath(scratch)) {
        *error = QStringLiteral("cannot create a staging directory in %1").arg(sites.first().dir);
        return false;
    }
    sweeper.emplace(staging.path());

    const QString stagedIni = QDir(stagedVersion).filePath(iniName);
    {
        QSettings ini(stagedIni, QSettings::IniFormat);
        TreeWriter writer(options, olds, section, stagedVersion, scratch, rep, error);
        writer.setPrograms(programs);
        int done = 0;
        for (const QString& rel : qAsConst(newTree.files)) {
            if (options.progress)
                options.progress(QStringLiteral("[%1/%2] %3, %4 bytes")
                                     .arg(QString::number(++done), QString::number(newTree.files.size()), rel,
                                          QString::number(newTree.sizes.value(rel))));
            if (!writer.publishFile(rel, ini))
                return false;
        }
        // Written even when empty, so that clients tell "no executables" from
        // an ini that says nothing about them.
        ini.setValue(executablesIniKey, executablesRecord(newTree, options.newDir, &rep.notes));
        for (const QString& rel : removedPaths(newTree, oldTreesRead)) {
            ini.setValue(productIniDeleteGroup + QLatin1Char('/') + rel, 1);
            rep.deleted << rel;
        }
        if (!writeInstallCommands(ini, options, error))
            return false;
        ini.sync();
        if (ini.status() != QSettings::NoError) {
            *error = QStringLiteral("cannot write %1").arg(stagedIni);
            return false;
        }
    }
    if (!prependVersionKey(stagedIni, options.version)) {
        *error = QStringLiteral("cannot write %1").arg(stagedIni);
        return false;
    }
    if (QFileInfo(stagedIni).size() > kMaxProductIniBytes) {
        *error = QStringLiteral("the product ini of %1 has %2 bytes, more than the updater reads (%3)")
                     .arg(options.newDir, QString::number(QFileInfo(stagedIni).size()),
                          QString::number(kMaxProductIniBytes));
        return false;
    }
    if (!deltapatch::GenerateLzmaFile(QFile::encodeName(stagedIni).constData(),
                                      QFile::encodeName(stagedIni + productIniPackedSuffix).constData(), false)) {
        *error = QStringLiteral("cannot pack %1").arg(stagedIni);
        return false;
    }
    if (!signIni(key, stagedIni, error))
        return false;
    QDir(QDir(stagedVersion).filePath(section)).mkpath(QStringLiteral("."));
    if (!setServedModes(stagedVersion)) {
        *error = QStringLiteral("cannot set the modes of the files in %1").arg(stagedVersion);
        return false;
    }
    if (!moveIntoPlace(stagedVersion, versionDir, entries, error))
        return false;
    rep.versionDir = versionDir;
    rep.iniPath = QDir(versionDir).filePath(iniName);
    if (withReply && !writeReply(options, rep, error)) {
        *error = QStringLiteral("the tree is published, but the version reply is not: %1; write it with --reply-only")
                     .arg(*error);
        return false;
    }
    return true;
}
