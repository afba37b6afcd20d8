#ifndef FILEDELETELISTTASKSPECIFICATION_H
#define FILEDELETELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "deletefiledata.h"

#include <QList>
#include <QStringList>

class Configuration;
class ReplaceJournal;

// Deletes the files and directories of the delete list from the install
// directory, one after the other, everything inside a folder before the
// folder, so that a folder that is only to go when empty can. A deletion that fails does not fail the
// update. Without a journal deletions are final; with the session's they are
// undone with the rest of the session when it fails later.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // Neither list nor config is owned; the list is read when the task executes.
    // With the session's journal (not owned) deletions stay undoable until
    // the session ends.
    FileDeleteListTaskSpecification(QList<DeleteFileData>* list, Configuration* config, QObject* parent, qreal weight,
                                    ReplaceJournal* journal = nullptr);

    void execute() override;
    void reset() override;

    // Installed names of the new tree's files (not owned): neither they nor
    // the folders that hold them are deleted, whatever the list says.
    void setTreeFiles(const QStringList* treeFiles) { m_TreeFiles = treeFiles; }

protected:
    void makeSubtasksAndStart();

private:
    QList<DeleteFileData>* m_List;
    Configuration* m_Config;
    ReplaceJournal* m_Journal;
    const QStringList* m_TreeFiles = nullptr;
};

#endif // FILEDELETELISTTASKSPECIFICATION_H
