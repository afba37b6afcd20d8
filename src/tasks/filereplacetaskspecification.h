#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replacefiledata.h"
#include "rollback.h"

class Configuration;

// Brings one entry of the replacement list into the install directory: a plain
// copy, or an unpack or patch followed by a digest check of the written file.
// An installed file that is about to be replaced is first moved aside beside
// itself, so that undoing the entry puts the very same file back.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceTaskSpecification(const ReplaceFileData& entry, RollbackDataList* parentRollback,
                                 Configuration* configuration, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;

    // Gives one file mode 0777 when its name or complete suffix is listed as
    // executable; reads no field of the task.
    static void makeSingleFileExecutable(const QString& path);

    const RollbackDataList& rollbackList() const { return m_Rollback; }

    // The name an installed file is moved to while its replacement is written.
    static bool isBackupName(const QString& fileName);

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    // Moves an existing installed file aside and records the move; false when
    // a file is there but could not be moved.
    bool moveInstalledAside(const QString& installed);

    ReplaceFileData m_Entry;
    RollbackDataList* m_ParentRollback;  // not owned
    RollbackDataList m_Rollback;
    Configuration* m_Configuration;  // not owned
    QString m_Installed;
    QString m_Backup;  // empty when nothing was moved aside
};

#endif // FILEREPLACETASKSPECIFICATION_H
