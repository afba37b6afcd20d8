#ifndef QND_PUBLISH_TREEWRITER_H
#define QND_PUBLISH_TREEWRITER_H

// Writes one file of the new tree into the staged version: the smallest
// whole form of it, a patch from each older content where that is smaller,
// and their lines in the product ini.

#include "publishoptions.h"

#include <QDir>
#include <QMap>
#include <QSet>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <map>
#include <utility>
#include <vector>

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
    // A file made once for a content and where it was written: the scratch
    // area until it is placed, then its served file, which later names of the
    // same content link to.
    struct MadeFile
    {
        QString path;
        qint64 size = 0;
        QString servedHash; // known once placed
    };

    // One way of serving a whole content.
    struct WholeForm : MadeFile
    {
        PublishOptions::Form form = PublishOptions::Plain;
        bool unpackable = false;
    };

    // A patch between two contents, made once whatever the number of names that
    // share the pair; ok false with the reason in why when there is none.
    struct MadePatch : MadeFile
    {
        bool ok = false;
        QString why;
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
    bool place(MadeFile* file, const QString& name);
    bool makeCheckedPatch(const QString& oldPath, const QString& newPath, const QString& patchPath, QString* why);
    bool readOlder(const QString& rel, const QString& hash, QMap<QString, QString>* older, int* current);
    bool wholeForms(const QString& rel, const QString& hash, qint64 size, bool program,
                    std::vector<WholeForm*>* wholes);
    std::vector<PatchForm> patchForms(const QString& rel, const QString& hash, const QMap<QString, QString>& older,
                                      qint64 smallest);
    bool packedOnly(const QString& rel, const QString& hash, std::vector<WholeForm*>* wholes);
    bool writeLines(const QString& rel, const QString& hash, qint64 size, WholeForm& chosen,
                    const std::vector<PatchForm>& patches, QSettings& ini);

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

#endif // QND_PUBLISH_TREEWRITER_H
