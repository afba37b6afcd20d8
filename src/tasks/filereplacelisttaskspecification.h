#ifndef FILEREPLACELISTTASKSPECIFICATION_H
#define FILEREPLACELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadreplacelistdata.h"
#include "replacefiledata.h"
#include "rollback.h"

#include <QList>
#include <QSet>

#include <memory>

class Configuration;
class ReplaceJournal;

// Brings every entry of the session's replacement list into the install
// directory: the missing directories first, then one replacement per entry,
// two at a time. Unless every entry finishes, every change is undone, newest
// first, so the installation is left as it was found. Every change is noted
// in the journal before it is made, so a crash is undone at the next start.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // journal (not owned) is the session's, kept past this task until the
    // session ends; without one the list keeps its own, finished when every
    // entry is in place.
    FileReplaceListTaskSpecification(const QList<ReplaceFileData>* replacements, Configuration* configuration,
                                     QObject* parent, qreal weight, ReplaceJournal* journal = nullptr);
    ~FileReplaceListTaskSpecification() override;

    void execute() override;
    void reset() override;

    // The session's deletion lines and execute-bit changes (neither owned):
    // an entry that stands where the new tree needs the other type is moved
    // aside first when the deletions remove all of it, and the list fails
    // before any change when they do not; current files get the tree's
    // execute bits. Without them such an entry fails its replacement.
    void setTreeChanges(const QList<DeleteFileData>* deletions, const QList<ModeChangeData>* modeChanges)
    {
        m_Deletions = deletions;
        m_ModeChanges = modeChanges;
    }

    const RollbackDataList& rollbackList() const { return m_Rollback; }

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    int makeDirSubtasks();
    void makeReplaceSubtasks(bool withDirs);

    // The first target whose real location would leave the install
    // directory, or empty.
    QString firstOutsideTarget() const;
    // Copies aside the installed bytes that entries reached through a link
    // read; false with the reason in *error, nothing changed.
    bool copyInstalledBases(QString* error);
    // Moves the entries in the new tree's way aside and sets the execute
    // bits of current files, each noted first; false with the reason in
    // *error (the changes made so far are then in the rollback list).
    bool prepareTree(QString* error);
    bool moveAside(const QString& path, QString* error);

    const QList<ReplaceFileData>* m_Replacements; // not owned
    RollbackDataList m_Rollback;
    Configuration* m_Configuration; // not owned
    ReplaceJournal* m_Journal;      // the session's, or m_OwnJournal
    std::unique_ptr<ReplaceJournal> m_OwnJournal;
    const QList<DeleteFileData>* m_Deletions = nullptr;   // not owned
    const QList<ModeChangeData>* m_ModeChanges = nullptr; // not owned
    QSet<QString> m_BasesCopied;                          // installed names whose base the list took
};

#endif // FILEREPLACELISTTASKSPECIFICATION_H
