#include "prepostinstalltaskspecification.h"

#include "configuration.h"
#include "filemode.h"
#include "globals.h"
#include "relativepath.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>

namespace {

// Linux keeps only the low 8 bits of an exit status, so a program that exits
// with 1010 is seen with 1010 & 0xff.
constexpr int rebootExitCode = 1010;
constexpr int rebootExitStatus = rebootExitCode & 0xff;

// How often a waiting command looks at the stop flag.
constexpr int stopPollMs = 100;

bool hasSha512(const QString& path, const QString& hex)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha512);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file)
        && QString::fromLatin1(hash.result().toHex()).compare(hex, Qt::CaseInsensitive) == 0;
}

} // namespace

PrePostInstallFunc::PrePostInstallFunc(const PrePostInstallData* entry, const Configuration* configuration,
                                       std::shared_ptr<std::atomic<bool>> stop)
    : m_Program(entry ? entry->program : QString()), m_Arguments(entry ? entry->arguments : QStringList()),
      m_Required(entry ? entry->required : true), m_Sha512(entry ? entry->sha512 : QString()),
      m_InstalledPath(entry ? entry->installedPath : QString()),
      m_TempDir(configuration ? configuration->m_TempDir : QString()), m_Stop(std::move(stop))
{
}

QStringList PrePostInstallFunc::prepareArguments(const QStringList& arguments)
{
    QStringList prepared;
    prepared.reserve(arguments.size());
    for (const QString& argument : arguments)
        prepared.append(QStringLiteral("--") + argument);
    return prepared;
}

bool PrePostInstallFunc::run()
{
    // A failed optional command does not fail its list.
    return runCommand() || !m_Required;
}

bool PrePostInstallFunc::runCommand()
{
    const QStringList arguments = prepareArguments(m_Arguments);
    qDebug() << "Starting" << m_Program << "args" << arguments;
    qDebug() << "temp dir:" << m_TempDir;
    emit message(QStringLiteral("Starting %1").arg(m_Program));

    // The program is named relative to the temp directory; a name that leads
    // out of it (absolute, or through "..") is not run.
    const QString programPath = pathInsideFolder(m_TempDir, m_Program);
    if (programPath.isEmpty()) {
        qDebug() << "Refusing program outside the temp directory:" << m_TempDir << m_Program;
        return failWith(QStringLiteral("Failed to start %1: %2")
                            .arg(m_Program, QStringLiteral("program is not inside the temp directory")));
    }

    QString why;
    if (!ensureCheckedProgram(programPath, &why)) {
        qWarning() << "Not starting" << programPath << ":" << why;
        return failWith(QStringLiteral("Failed to start %1: %2").arg(m_Program, why));
    }

    // A downloaded program arrives without its execute bit; the owner's is
    // all it needs.
    applyFileModeAt(
        programPath, [](mode_t current) { return (current & 0777) | S_IXUSR; }, nullptr);

    // Started directly, never through a shell: the arguments reach the
    // program exactly as prepared.
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(programPath, arguments, QIODevice::ReadOnly);
    qDebug() << "Starting" << m_Program << "state" << process.state();
    if (!process.waitForStarted(30000)) {
        qWarning() << "Failed to start process, state =" << process.state() << ", error =" << process.errorString();
        return failWith(QStringLiteral("Failed to start %1: %2").arg(m_Program, process.errorString()));
    }
    qDebug() << "Wait for started completed";

    bool stopped = false;
    while (!process.waitForFinished(stopPollMs)) {
        if (process.state() == QProcess::NotRunning)
            break;
        if (m_Stop && m_Stop->load()) {
            process.kill();
            process.waitForFinished(-1);
            stopped = true;
            break;
        }
    }
    if (stopped || process.state() != QProcess::NotRunning) {
        const QString reason = stopped ? QStringLiteral("cancelled") : process.errorString();
        qWarning() << "Failed to run process, state =" << process.state() << ", error =" << reason;
        return failWith(QStringLiteral("Failed to run %1: %2").arg(m_Program, reason));
    }
    qDebug() << "Wait for finished completed";

    if (process.exitStatus() != QProcess::NormalExit) {
        qWarning() << "Process crashed:" << process.errorString();
        return failWith(QStringLiteral("Failed to run %1: %2").arg(m_Program, process.errorString()));
    }
    const int exitCode = process.exitCode();
    qDebug() << "Process exit code:" << exitCode;
    if (exitCode == 0) {
        emit message(QStringLiteral("%1 completed sucessfully").arg(m_Program));
        return true;
    }
    if (exitCode == rebootExitCode || exitCode == rebootExitStatus) {
        emit message(QStringLiteral("%1 completed sucessfully, reboot required").arg(m_Program));
        emit reboot_with_confirmation();
        return true;
    }
    return failWith(QStringLiteral("Failed to complete %1, exit code: %2").arg(m_Program, QString::number(exitCode)));
}

bool PrePostInstallFunc::ensureCheckedProgram(const QString& path, QString* why)
{
    if (m_Sha512.isEmpty()) {
        *why = QStringLiteral("no file line of the product ini installs it");
        return false;
    }
    // Downloaded this session, or copied by an earlier run.
    if (hasSha512(path, m_Sha512))
        return true;
    // Current in the installation, hence not downloaded: a copy is run, never
    // the installed file itself, and only once it has the line's digest.
    QFile::remove(path);
    QDir().mkpath(QFileInfo(path).path());
    if (m_InstalledPath.isEmpty() || !QFile::copy(m_InstalledPath, path)) {
        *why = QStringLiteral("cannot copy it from %1").arg(m_InstalledPath);
        return false;
    }
    if (!hasSha512(path, m_Sha512)) {
        QFile::remove(path);
        *why = QStringLiteral("its SHA-512 is not the one of its product ini line");
        return false;
    }
    return true;
}

PrePostInstallTaskSpecification::PrePostInstallTaskSpecification(PrePostInstallData* entry,
                                                                 Configuration* configuration, QObject* parent,
                                                                 qreal weight)
    : ASyncTaskSpecification(parent, weight), m_Entry(entry), m_Configuration(configuration)
{
}

ASyncFunc* PrePostInstallTaskSpecification::createFunc()
{
    m_Stop = std::make_shared<std::atomic<bool>>(false);
    auto* func = new PrePostInstallFunc(m_Entry, m_Configuration, m_Stop);
    if (mainWindowInstance)
        QObject::connect(func, SIGNAL(reboot_with_confirmation()), mainWindowInstance, SLOT(onRebootWithConfirmation()),
                         Qt::QueuedConnection);
    return func;
}

PrePostInstallTaskSpecification::~PrePostInstallTaskSpecification()
{
    // Nobody waits for this command any more; left running it would hold the
    // thread pool, and with it the program's exit, until it ends by itself.
    requestStop();
}

void PrePostInstallTaskSpecification::requestStop()
{
    if (m_Stop && state() == TASK_RUNNING)
        m_Stop->store(true);
}

void PrePostInstallTaskSpecification::reset()
{
    // The base waits for the thread pool to run dry, which a hanging command
    // would keep from happening.
    requestStop();
    ASyncTaskSpecification::reset();
}
