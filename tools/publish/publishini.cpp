#include "publishini.h"

#include "unpacklzmafile.h"
#include "globals.h"
#include "productininames.h"
#include "publishfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace {

// Written ahead of the first group, where group readers do not see it.
bool prependVersionKey(const QString& iniPath, int version)
{
    bool ok = false;
    const QByteArray body = readWholeFile(iniPath, &ok);
    QFile out(iniPath);
    const QByteArray text = QByteArray(productIniVersionKey.data()) + '=' + QByteArray::number(version) + "\n" + body;
    return ok && out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(text) == text.size() && out.flush();
}

} // namespace

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

bool finishIni(const QString& iniPath, int version, const QString& newDir, QString* error)
{
    if (!prependVersionKey(iniPath, version)) {
        *error = QStringLiteral("cannot write %1").arg(iniPath);
        return false;
    }
    if (QFileInfo(iniPath).size() > kMaxProductIniBytes) {
        *error = QStringLiteral("the product ini of %1 has %2 bytes, more than the updater reads (%3)")
                     .arg(newDir, QString::number(QFileInfo(iniPath).size()), QString::number(kMaxProductIniBytes));
        return false;
    }
    if (!deltapatch::GenerateLzmaFile(QFile::encodeName(iniPath).constData(),
                                      QFile::encodeName(iniPath + productIniPackedSuffix).constData(), false)) {
        *error = QStringLiteral("cannot pack %1").arg(iniPath);
        return false;
    }
    return true;
}
