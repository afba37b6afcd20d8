#include "treewriter.h"

#include "ensemblepatchapplier.h"
#include "ensemblepatchgenerator.h"
#include "productininames.h"
#include "publishfiles.h"
#include "unpacklzmafile.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <unistd.h>

namespace {

QString line2(const QString& hash, qint64 size)
{
    return hash + productIniPartSeparator + QString::number(size);
}

QString line5(const QString& hash, qint64 size, const QString& hash2, qint64 size2, const QString& target)
{
    return line2(hash, size) + productIniPartSeparator + line2(hash2, size2) + productIniPartSeparator + target;
}

// The download name of rel in a whole form.
QString wholeName(const QString& rel, PublishOptions::Form form)
{
    if (form == PublishOptions::Plain)
        return rel;
    return rel + (form == PublishOptions::Gzip ? QLatin1String(".gz") : productIniPackedSuffix);
}

// The smallest wins; on a tie the one cheapest to install (the list's order).
template <typename Form> bool bySize(const Form* a, const Form* b)
{
    return a->size < b->size;
}

} // namespace

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

// Serves file under name. The first placement moves (or copies) it in and
// points file at the served file; later ones hard-link that file, or copy it
// where the file system has no links.
bool TreeWriter::place(MadeFile* file, const QString& name)
{
    const QString to = m_Files.filePath(name);
    if (!claim(name))
        return false;
    const QString& from = file->path;
    const bool served = from.startsWith(m_Files.path() + QLatin1Char('/'));
    bool ok = ensureParent(to);
    if (ok && served)
        ok = ::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0
            || QFile::copy(from, to);
    else if (ok)
        ok = from.startsWith(m_Scratch + QLatin1Char('/')) ? QFile::rename(from, to) : QFile::copy(from, to);
    if (!ok)
        return fail(QStringLiteral("cannot write %1").arg(to));
    if (!served) {
        file->path = to;
        file->servedHash = sha512HexOfFile(to);
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
TreeWriter::MadePatch* TreeWriter::patchFor(const QString& oldHash, const QString& oldPath, const QString& hash,
                                            const QString& rel)
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

    QMap<QString, QString> olderContents;
    int current = 0;
    if (!readOlder(rel, hash, &olderContents, &current))
        return false;
    const bool program = m_Programs.contains(rel);
    if (!m_Olds.isEmpty() && current == m_Olds.size())
        m_Report.unchanged << rel;
    if (program && current > 0)
        m_Report.notes << QStringLiteral("install program %1 is unchanged: installations that hold it current do "
                                         "not download it, so their updater cannot start it")
                              .arg(rel);

    std::vector<WholeForm*> wholes;
    if (!wholeForms(rel, hash, size, program, &wholes))
        return false;
    const qint64 smallest = (*std::min_element(wholes.begin(), wholes.end(), bySize<WholeForm>))->size;
    std::vector<PatchForm> patches;
    if (m_Options.patches && !program)
        patches = patchForms(rel, hash, olderContents, smallest);
    // The reader applies patches only to files that come packed.
    if (!patches.empty() && !packedOnly(rel, hash, &wholes))
        return false;
    return writeLines(rel, hash, size, **std::min_element(wholes.begin(), wholes.end(), bySize<WholeForm>), patches,
                      ini);
}

// Each distinct older content of the file, with one tree that holds it, and
// in *current the number of old trees that hold the new content.
bool TreeWriter::readOlder(const QString& rel, const QString& hash, QMap<QString, QString>* older, int* current)
{
    for (const QString& old : m_Olds) {
        const QString oldPath = QDir(old).filePath(rel);
        if (!QFileInfo(oldPath).isFile())
            continue;
        const QString oldHash = sha512HexOfFile(oldPath);
        if (oldHash.isEmpty())
            return fail(QStringLiteral("cannot read %1").arg(oldPath));
        if (oldHash == hash)
            ++*current;
        else if (!older->contains(oldHash))
            older->insert(oldHash, oldPath);
    }
    return true;
}

// The whole forms the file may be served in, made; false when the only form
// allowed cannot be made.
bool TreeWriter::wholeForms(const QString& rel, const QString& hash, qint64 size, bool program,
                            std::vector<WholeForm*>* wholes)
{
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
    for (PublishOptions::Form f : qAsConst(forms)) {
        WholeForm* w = nullptr;
        if (candidate(rel, hash, f, &w))
            wholes->push_back(w);
        else if (forms.size() == 1)
            return fail(QStringLiteral("cannot pack %1 into %2")
                            .arg(QDir(m_Options.newDir).filePath(rel), QDir(m_Scratch).filePath(wholeName(rel, f))));
        else
            m_Report.notes << QStringLiteral("%1 cannot be packed into %2").arg(rel, wholeName(rel, f));
    }
    return true;
}

// A patch from each older content that rebuilds the file and is smaller than
// its smallest whole download.
std::vector<TreeWriter::PatchForm> TreeWriter::patchForms(const QString& rel, const QString& hash,
                                                          const QMap<QString, QString>& older, qint64 smallest)
{
    std::vector<PatchForm> patches;
    for (auto it = older.cbegin(); it != older.cend(); ++it) {
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
    return patches;
}

// Drops the plain form; gzip stands in when no packed form was made.
bool TreeWriter::packedOnly(const QString& rel, const QString& hash, std::vector<WholeForm*>* wholes)
{
    wholes->erase(std::remove_if(wholes->begin(), wholes->end(),
                                 [](const WholeForm* w) { return w->form == PublishOptions::Plain; }),
                  wholes->end());
    if (!wholes->empty())
        return true;
    WholeForm* w = nullptr;
    if (!candidate(rel, hash, PublishOptions::Gzip, &w))
        return fail(QStringLiteral("cannot pack %1 into %2")
                        .arg(QDir(m_Options.newDir).filePath(rel),
                             QDir(m_Scratch).filePath(wholeName(rel, PublishOptions::Gzip))));
    wholes->push_back(w);
    return true;
}

// Serves the chosen whole form and the patches, each with its ini line.
bool TreeWriter::writeLines(const QString& rel, const QString& hash, qint64 size, WholeForm& chosen,
                            const std::vector<PatchForm>& patches, QSettings& ini)
{
    const QString name = wholeName(rel, chosen.form);
    if (!place(&chosen, name))
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
        if (!place(p.made, p.name))
            return false;
        ini.setValue(m_Section + QLatin1Char('/') + p.name,
                     line5(p.made->servedHash, p.made->size, p.baseHash, p.baseSize, rel));
        m_Report.patched << (m_Olds.size() > 1 ? QStringLiteral("%1 (from %2)").arg(rel, p.from) : rel);
    }
    return true;
}
