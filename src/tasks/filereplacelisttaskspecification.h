#ifndef FILEREPLACELISTTASKSPECIFICATION_H
#define FILEREPLACELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replacefiledata.h"
#include "rollback.h"

#include <QList>

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

    const QList<ReplaceFileData>* m_Replacements; // not owned
    RollbackDataList m_Rollback;
    Configuration* m_Configuration; // not owned
    ReplaceJournal* m_Journal;      // the session's, or m_OwnJournal
    std::unique_ptr<ReplaceJournal> m_OwnJournal;
};

#endif // FILEREPLACELISTTASKSPECIFICATION_H
