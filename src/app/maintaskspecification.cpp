#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "prepostinstalllisttaskspecification.h"
#include "updateinidata.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* manager, Configuration* configuration,
                                             QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Manager(manager), m_Config(configuration)
{
}

void MainTaskSpecification::execute()
{
    const bool client = m_Config->m_ClientUpdate == 1;
    emit message(QStringLiteral("Starting update process for ") +
                 (client ? QStringLiteral("client") : QStringLiteral("updater")));
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
        addSubTask(new FileReplaceListTaskSpecification(&m_Lists.replacements, m_Config, this, 0.4));
        addSubTask(new FileDeleteListTaskSpecification(&m_Lists.deletions, m_Config, this, 0.05));
    } else {
        // The record beside the new updater is how it finds this session.
        addSubTask(new UpdateSelfUnzipTaskSpecification(&m_Lists.replacements, m_Config, this, 0.4,
                                                        &UpdateIniData::modifyTempIni));
    }
    addSubTask(new PrePostInstallListTaskSpecification(&m_Lists.postInstall, m_Config, this, 0.1));
    setState(TASK_RUNNING);
    startSubTasks();
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    m_Lists = DownloadReplaceListData();
    ComposedTaskSpecification::reset();
}
