#ifndef PREPOSTINSTALLTASKSPECIFICATION_H
#define PREPOSTINSTALLTASKSPECIFICATION_H

#include "asynctaskspecification.h"
#include "prepostinstalldata.h"

#include <QStringList>

#include <atomic>
#include <memory>

class Configuration;

// Runs one install command from the temp directory and judges its exit code:
// 0 success, 1010 success with a reboot request, anything else (a crash
// included) a failure that only a required command reports as such.
class PrePostInstallFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // Takes copies of what it needs: the pool thread never reads the entry or
    // the configuration. Setting stop kills a running command.
    PrePostInstallFunc(const PrePostInstallData* entry, const Configuration* configuration,
                       std::shared_ptr<std::atomic<bool>> stop);

    bool run() override;

    // The arguments as handed to the program: each one with "--" in front.
    static QStringList prepareArguments(const QStringList& arguments);

signals:
    void reboot_with_confirmation();

private:
    bool runCommand();
    // Makes the program at path the one its file line installs; false with
    // the reason in *why.
    bool ensureCheckedProgram(const QString& path, QString* why);

    QString m_Program;
    QStringList m_Arguments;
    bool m_Required;
    QString m_Sha512;
    QString m_InstalledPath;
    QString m_TempDir;
    std::shared_ptr<std::atomic<bool>> m_Stop;
};

class PrePostInstallTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // Neither pointer is owned; both must outlive the task.
    PrePostInstallTaskSpecification(PrePostInstallData* entry, Configuration* configuration, QObject* parent,
                                    qreal weight);
    ~PrePostInstallTaskSpecification() override;

    // cancel() is the base's: a running command is waited for to its end,
    // since a half-run installer is worse than a late cancel. Only a reset or
    // the task's end kills it, and then no result of it is looked at.
    void reset() override;

protected:
    ASyncFunc* createFunc() override;

private:
    void requestStop();

    PrePostInstallData* m_Entry;
    Configuration* m_Configuration;
    std::shared_ptr<std::atomic<bool>> m_Stop;
};

#endif // PREPOSTINSTALLTASKSPECIFICATION_H
