#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "installpath.h"
#include "replacefiledata.h"
#include "rollback.h"

#include <memory>

class Configuration;
class ReplaceJournal;

// Brings one entry of the replacement list into the install directory: a plain
// copy, or an unpack or patch, always into a part file in the journal's
// private folder. Only when the part is flushed to the disk and has the
// expected SHA-512 digest is it renamed over the installed name in one step,
// after the old file has been kept aside as a hard link (where none can be
// made: a copy, or for a link a link with the same text) and the change
// noted in the journal. So the installed path always holds either the old
// or the new file, and the old one can be put back until the session ends.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // journal is the list's (not owned). Without one the entry keeps a journal
    // of its own for as long as it runs: its change is then final once it
    // has finished.
    FileReplaceTaskSpecification(const ReplaceFileData& entry, RollbackDataList* parentRollback,
                                 Configuration* configuration, QObject* parent, qreal weight,
                                 ReplaceJournal* journal = nullptr);
    ~FileReplaceTaskSpecification() override;

    void execute() override;
    void reset() override;

    // Gives one file mode 0755 when its name or complete suffix is listed as
    // executable; reads no field of the task. For inis without execute bits.
    // False with the reason in *error when it could not be set.
    static bool makeSingleFileExecutable(const QString& path, QString* error);

    const RollbackDataList& rollbackList() const { return m_Rollback; }

    // The installed bytes the entry reads are already copied aside (by the
    // list, before any entry changed a file that a link leads to).
    void setBaseCopied() { m_BaseCopied = true; }

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    // Keeps the installed file aside, notes the change and renames the
    // checked part over the installed name; false with the reason in *error,
    // the installed file then untouched.
    bool putInPlace(QString* error);
    bool keepAside(const InstallLocation& at, const QString& backup, QString* error);
    // The mode the new file gets, given the replaced one's (-1 for none);
    // -1 leaves the part's.
    int installedMode(int oldMode) const;

    ReplaceFileData m_Entry;
    RollbackDataList* m_ParentRollback; // not owned
    RollbackDataList m_Rollback;
    Configuration* m_Configuration; // not owned
    ReplaceJournal* m_Journal;      // the list's, or m_OwnJournal
    std::unique_ptr<ReplaceJournal> m_OwnJournal;
    QString m_Installed;
    QString m_Part;
    bool m_BaseCopied = false;
};

#endif // FILEREPLACETASKSPECIFICATION_H
