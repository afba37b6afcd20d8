#ifndef QND_PUBLISH_PUBLISHSTAGING_H
#define QND_PUBLISH_PUBLISHSTAGING_H

#include "stagingsweeper.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

// Where a run stages its tree: beside OUT, on the same file system so that
// the tree moves into place in whole steps, and where no server of OUT looks;
// inside OUT only when OUT is a mount point or its parent is not writable.
struct StageSite
{
    QString dir;
    QString prefix; // followed by the run's process id, "-" and a random part
};

// Where a run writes one target's tree before it moves the tree into its
// version folder in OUT: a folder that only this run's files reach, removed
// on any failure, by a sweeper when the run is killed, and by the next run if
// both are.
class PublishStaging
{
public:
    PublishStaging(const QString& outDir, const QString& versionDir, const QString& section, const QString& iniName);

    // Removes what killed runs left, and refuses a version whose tree of
    // this target is already in place.
    bool prepare(QStringList* notes, QString* error);
    // Creates the staging folder for version, with its scratch area.
    bool create(int version, QString* error);
    QString stagedVersion() const { return m_StagedVersion; }
    QString scratch() const { return m_Scratch; }
    // Serves every staged file and moves the entries into the version folder.
    bool moveIntoPlace(QString* error);

private:
    const QString m_VersionDir;
    const QString m_Section;
    const QStringList m_Entries;
    const QList<StageSite> m_Sites;
    QString m_StagedVersion;
    QString m_Scratch;
    // Declared first, so that a normal end has removed the folder before the
    // sweeper acts.
    std::optional<StagingSweeper> m_Sweeper;
    std::unique_ptr<QTemporaryDir> m_Dir;
};

#endif // QND_PUBLISH_PUBLISHSTAGING_H
