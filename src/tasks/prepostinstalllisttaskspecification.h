#ifndef PREPOSTINSTALLLISTTASKSPECIFICATION_H
#define PREPOSTINSTALLLISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "prepostinstalldata.h"

#include <QList>

class Configuration;

// Runs the pre- or post-install commands one after another; the first
// required command that fails ends the list.
class PrePostInstallListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // Neither pointer is owned; both must outlive the task.
    PrePostInstallListTaskSpecification(QList<PrePostInstallData>* commands, Configuration* configuration,
                                        QObject* parent, qreal weight);

    void execute() override;
    void reset() override;

private:
    QList<PrePostInstallData>* m_Commands;
    Configuration* m_Configuration;
};

#endif // PREPOSTINSTALLLISTTASKSPECIFICATION_H
