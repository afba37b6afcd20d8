#include "prepostinstalllisttaskspecification.h"

#include "prepostinstalltaskspecification.h"

PrePostInstallListTaskSpecification::PrePostInstallListTaskSpecification(QList<PrePostInstallData>* commands,
                                                                         Configuration* configuration, QObject* parent,
                                                                         qreal weight)
    : ComposedTaskSpecification(1, parent, weight), m_Commands(commands), m_Configuration(configuration)
{
}

void PrePostInstallListTaskSpecification::execute()
{
    if (m_Commands && !m_Commands->isEmpty()) {
        emit message(QStringLiteral("Starting install condition"));
        // Each command task keeps a pointer to its entry; the list is fixed
        // for the session, so the pointers stay valid.
        for (PrePostInstallData& entry : *m_Commands)
            addSubTask(new PrePostInstallTaskSpecification(&entry, m_Configuration, this, 0.1));
    }
    setState(TASK_RUNNING);
    startSubTasks();
}

void PrePostInstallListTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}
