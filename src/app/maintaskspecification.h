#ifndef MAINTASKSPECIFICATION_H
#define MAINTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadreplacelistdata.h"

#include <memory>

class Configuration;
class ReplaceJournal;
class QNetworkAccessManager;

// Root of one session's task tree. Runs the steps strictly one after another:
// product-ini download, list making, downloads, pre-install commands, then
// file replacement and deletion (client run) or unpacking of the new updater
// (updater run), and last the post-install commands. In a client run every
// change to the install directory stays undoable until the session has
// ended: a session that fails after the files were replaced is undone too.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // Neither manager nor configuration is owned.
    MainTaskSpecification(QNetworkAccessManager* manager, Configuration* configuration, QObject* parent, qreal weight);
    ~MainTaskSpecification() override;

    void execute() override;
    void reset() override;
    void makeSubtasksAndStart();

    // The lists stay at this address for the task's whole life: the steps
    // hold pointers to them.
    const DownloadReplaceListData& lists() const { return m_Lists; }

protected:
    void subtasksDone() override;

private:
    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
    DownloadReplaceListData m_Lists;
    std::unique_ptr<ReplaceJournal> m_Journal; // client runs only
};

#endif // MAINTASKSPECIFICATION_H
