#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "prepostinstalllisttaskspecification.h"
#include "replacejournal.h"
#include "updateinidata.h"
#include "updateselfunziptaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* manager, Configuration* configuration,
                                             QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Manager(manager), m_Config(configuration)
{
}

MainTaskSpecification::~MainTaskSpecification() = default;

void MainTaskSpecification::execute()
{
    const bool client = m_Config->m_ClientUpdate == 1;
    emit message(QStringLiteral("Starting update process for ")
                 + (client ? QStringLiteral("client") : QStringLiteral("updater")));
    makeSubtasksAndStart();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    // A second execute without a reset must not run every step twice.
    if (!allSubTasks().isEmpty())
        clearSubTasks();

    addSubTask(new IniDownloadTaskSpecification(m_Manager, m_Config, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(m_Config, &m_Lists, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(&m_Lists.downloads, m_Manager, m_Config, this, 0.4));
    addSubTask(new PrePostInstallListTaskSpecification(&m_Lists.preInstall, m_Config, this, 0.1));
    if (m_Config->m_ClientUpdate == 1) {
        m_Journal.reset(new ReplaceJournal(m_Config->m_InstallDir, m_Config->m_TempDir));
        auto* replace =
            new FileReplaceListTaskSpecification(&m_Lists.replacements, m_Config, this, 0.4, m_Journal.get());
        replace->setTreeChanges(&m_Lists.deletions, &m_Lists.modeChanges);
        addSubTask(replace);
        auto* remove = new FileDeleteListTaskSpecification(&m_Lists.deletions, m_Config, this, 0.05, m_Journal.get());
        remove->setTreeFiles(&m_Lists.treeFiles);
        addSubTask(remove);
    } else {
        // The record beside the new updater is how it finds this session.
        auto* unzip = new UpdateSelfUnzipTaskSpecification(&m_Lists.replacements, m_Config, this, 0.4,
                                                           &UpdateIniData::modifyTempIni);
        unzip->setExecuteBitsListed(&m_Lists.executeBitsListed);
        addSubTask(unzip);
    }
    addSubTask(new PrePostInstallListTaskSpecification(&m_Lists.postInstall, m_Config, this, 0.1));
    setState(TASK_RUNNING);
    startSubTasks();
}

void MainTaskSpecification::subtasksDone()
{
    if (m_Journal && m_Journal->isOpen()) {
        QString error;
        if (subtasksResult() == TASK_FINISHED && m_Journal->finish(&error)) {
            // done
        } else if (subtasksResult() == TASK_FINISHED) {
            // Not marked as done, the next start would undo it: better now.
            emit message(error);
            emit message(QStringLiteral("rolling back file updates"));
            m_Journal->rollBack(this);
            setFailed(error);
            return;
        } else {
            emit message(QStringLiteral("rolling back file updates"));
            m_Journal->rollBack(this);
        }
    }
    ComposedTaskSpecification::subtasksDone();
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    m_Lists = DownloadReplaceListData();
    ComposedTaskSpecification::reset();
}
