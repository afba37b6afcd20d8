#include "mainwindow.h"

#include "installlock.h"
#include "configuration.h"
#include "failurelog.h"
#include "globals.h"
#include "newupdaterfolder.h"
#include "processtools.h"
#include "singleinstancechecker.h"
#include "ui_mainwindow.h"
#include "updateengine.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStringList>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static void initWindowResources()
{
    // The resources sit in a static library: nothing would pull them in.
    Q_INIT_RESOURCE(mainwindow);
}

namespace {

const char* const kHomeUrl = "https://www.quendrail.example/";
const int kStartNewProcessDelayMs = 1000;
// Not 0: a self-update that could not go on installed nothing.
const int kNewUpdaterNotStartedExitCode = 2;

// Creates (or empties) our own plain file at path. The system temp directory
// is shared: a link planted at the name is replaced, never followed, and
// whatever else stands there (a FIFO, another user's file) is refused.
bool createEmptyMarker(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(native.constData(), flags, 0600);
    if (fd < 0 && errno == ELOOP && ::unlink(native.constData()) == 0)
        fd = ::open(native.constData(), flags | O_EXCL, 0600);
    if (fd < 0)
        return false;
    struct stat info;
    const bool ok =
        ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && ::ftruncate(fd, 0) == 0;
    ::close(fd);
    return ok;
}

} // namespace

MainWindow::MainWindow(Configuration* configuration, SingleInstanceChecker* checker)
    : QWidget(nullptr), m_Ui(new Ui::MainWindow), m_Configuration(configuration)
{
    initWindowResources();
    m_Engine = new UpdateEngine(m_Configuration, this);
    mainWindowInstance = this;

    connect(m_Engine, &UpdateEngine::error, this, &MainWindow::onEngineError);
    connect(m_Engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(m_Engine, &UpdateEngine::updateProgress, this, &MainWindow::onUpdateProgress);
    connect(m_Engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(m_Engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(m_Engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);

    m_Ui->setupUi(this);
    // The form holds the translated footer; the address and the small print
    // are the same in every language.
    m_Ui->footerLabel->setText(QStringLiteral("<span style=\"font-size:small\">")
                               + m_Ui->footerLabel->text().arg(QLatin1String(kHomeUrl)) + QStringLiteral("</span>"));
    connect(m_Ui->detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsToggled, Qt::QueuedConnection);
    // The view follows its newest line unless the user scrolled away from
    // it, and shows every line from its start.
    QScrollBar* vertical = m_Ui->outputTextEdit->verticalScrollBar();
    connect(vertical, &QScrollBar::valueChanged, this,
            [this, vertical](int value) { m_FollowNewest = value == vertical->maximum(); });
    connect(vertical, &QScrollBar::rangeChanged, this, [this](int, int) {
        if (m_FollowNewest)
            followNewestLine();
    });
    QScrollBar* horizontal = m_Ui->outputTextEdit->horizontalScrollBar();
    connect(horizontal, &QScrollBar::rangeChanged, this, [horizontal](int min, int) { horizontal->setValue(min); });

    m_Ui->quendrailLabel->setUrl(QLatin1String(kHomeUrl));
    m_Ui->banner->setUrl(QLatin1String(kHomeUrl));
    m_Ui->quendrailLabel->hide();
    m_Ui->outputTextEdit->hide();

    m_InstanceChecker = checker ? checker : new SingleInstanceChecker(this);
    m_InstanceChecker->setParent(this);
    connect(m_InstanceChecker, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);

    connect(m_Configuration, &Configuration::fatalError, this, &MainWindow::onConfigFatalError);
    connect(m_Configuration, &Configuration::ready, this, &MainWindow::onStartUpdate);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        move(available.width() / 2 - width() / 2, available.height() / 2 - height() / 2);
    }
}

MainWindow::~MainWindow()
{
    mainWindowInstance = nullptr;
}

void MainWindow::updateVersionLabel()
{
    QString text;
    if (!m_Configuration->m_VersionText.isEmpty()) {
        // The version text may come from the unauthenticated version reply.
        text += QStringLiteral("<div style=\"font-weight:bold;font-size:large\">")
            + tr("Update to Quendrail %1").arg(m_Configuration->m_VersionText.toHtmlEscaped())
            + QStringLiteral("</div>");
    }
    QString channel;
    switch (m_Configuration->m_Channel) {
    case 0: channel = tr("Stable"); break;
    case 1: channel = tr("Beta"); break;
    case 2: channel = tr("Alpha"); break;
    default: break;
    }
    text += QStringLiteral("<div style=\"margin-top:0.2em\">")
        + tr("You are currently on <strong>%1 channel</strong>.").arg(channel) + QStringLiteral("</div>");
    const QString step = m_Configuration->m_ClientUpdate != 0 ? tr("Step two: Updating Quendrail client")
                                                              : tr("Step one: Updating updater");
    text += QStringLiteral("<div style=\"margin-top:0.2em;font-style:italic\">") + step + QStringLiteral("</div>");
    m_Ui->versionLabel->setText(text);
}

void MainWindow::delete_force_update_files()
{
    qDebug() << "delete_force_update_files" << m_Configuration->m_ClientUpdate;
    if (m_Configuration->m_ClientUpdate != 0)
        return;
    for (const QString& name : forceUpdateFileNames)
        QFile::remove(QDir::tempPath() + QLatin1Char('/') + name);
}

void MainWindow::write_force_update_file(const QString& name)
{
    if (!createEmptyMarker(QDir::tempPath() + QLatin1Char('/') + name)) {
        const QString text = QStringLiteral("Failed to store force update notice");
        appendDetail(text);
        qWarning() << text << name;
    }
}

void MainWindow::onRebootWithConfirmation()
{
    qDebug() << "onRebootWithConfirmation";
    m_Reboot = true;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Confirm reboot"),
        tr("<p>A computer restart is required to proceed with the client update. If you do not reboot now, "
           "the Quendrail update will be cancelled.</p><p>Do you want to reboot now?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::Yes) {
        write_force_update_file(forceUpdateFileNames[0]);
        QApplication::beep();
        write_force_update_file(forceUpdateFileNames[1]);
    }
    QCoreApplication::quit();
}

void MainWindow::onFatalError(QString errorMessage)
{
    m_FatalPending = true;
    qCritical().noquote() << "Fatal error:" << errorMessage;
    // The box waits for the stack that raised the error to unwind: its
    // nested event loop must not run while a task is mid-call below us.
    QMetaObject::invokeMethod(
        this,
        [this, errorMessage]() {
            showErrorBox(errorMessage);
            QCoreApplication::exit(2);
        },
        Qt::QueuedConnection);
}

void MainWindow::onConfigFatalError(const QString& text)
{
    // Raised while the command line is parsed, before the event loop runs,
    // so the box is shown at once; main then ends with code 1 itself.
    m_FatalPending = true;
    qCritical().noquote() << "Fatal error:" << text;
    showErrorBox(text);
    QCoreApplication::exit(1);
}

void MainWindow::onEngineError(const QString& text)
{
    appendDetail(text);
    // Queued for the same reason as the fatal box: the task that reported
    // the error may be released while a nested loop runs.
    QMetaObject::invokeMethod(
        this, [this, text]() { showErrorBox(text); }, Qt::QueuedConnection);
}

void MainWindow::showErrorBox(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, QObject::tr("Error"), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MainWindow::appendDetail(const QString& text)
{
    QTextDocument* document = m_Ui->outputTextEdit->document();
    // A cursor of our own: the view's cursor stays where it is, so showing
    // the view does not scroll to the end of some long line.
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    if (!document->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    if (m_FollowNewest)
        followNewestLine();
}

void MainWindow::followNewestLine()
{
    QScrollBar* vertical = m_Ui->outputTextEdit->verticalScrollBar();
    vertical->setValue(vertical->maximum());
    QScrollBar* horizontal = m_Ui->outputTextEdit->horizontalScrollBar();
    horizontal->setValue(horizontal->minimum());
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate" << m_Finished << m_Started;
    if (m_Finished || m_Started)
        return;
    if (m_Engine->isInitialized()) {
        qDebug() << "Session already active";
        return;
    }
    if (m_FatalPending) {
        qDebug() << "Not starting update, a fatal error is pending";
        return;
    }
    if (!m_Configuration->m_Ready) {
        qDebug() << "Aborting start update, configuration not yet ready";
        return;
    }
    // Set before the attempt: a failed initialisation has reported why, and
    // trying again would only make another temp directory and box.
    m_Started = true;
    if (m_Engine->initialize()) {
        qDebug() << "Update engine initialized";
        m_Engine->startUpdate();
    }
}

void MainWindow::onStartNewUpdater()
{
    qDebug() << "onStartNewUpdater";
    QStringList args;
    args << QStringLiteral("--clientupdate") << iniBaseName(1) << QString::number(m_Configuration->m_Version)
         << (m_Configuration->m_VersionText.isEmpty() ? QStringLiteral("#") : m_Configuration->m_VersionText);
    QString error;
    const QString dir = NewUpdaterFolder::prepare(m_Configuration->m_TempDir, m_Configuration->m_InstallDir, &error);
    if (dir.isEmpty()) {
        failToStartNewUpdater(error);
        return;
    }
    const auto start = [&](QString* why) { return ProcessTools::startClientUpdater(dir, args, why); };
    // The new updater takes the installation's lock over only when it asks
    // for it: no start in between can take it, and a new updater that does
    // not ask gets it once this one has ended.
    InstallLock* lock = InstallLock::held();
    m_InstanceChecker->stopListening();
    if (!(lock ? lock->handOver(start, &error) : start(&error))) {
        m_InstanceChecker->listen();
        if (dir != m_Configuration->m_TempDir)
            NewUpdaterFolder::removeCopy(m_Configuration->m_InstallDir);
        failToStartNewUpdater(error);
        return;
    }
    close();
}

void MainWindow::failToStartNewUpdater(const QString& cause)
{
    // Nothing was installed: the session ends as failed, and the next start
    // makes a new one and tries again.
    m_FatalPending = true;
    logUpdateFailed(cause);
    appendDetail(cause);
    QMetaObject::invokeMethod(
        this,
        [this, cause]() {
            showErrorBox(cause);
            QCoreApplication::exit(kNewUpdaterNotStartedExitCode);
        },
        Qt::QueuedConnection);
}

void MainWindow::onAppendText(QString text)
{
    appendDetail(text);
}

void MainWindow::onUpdateFinished()
{
    qDebug() << "onUpdateFinished";
    m_Finished = true;
    if (m_Reboot)
        return;
    QTimer::singleShot(kStartNewProcessDelayMs, this, [this]() {
        // A reboot request may have arrived while we waited.
        if (m_Reboot)
            return;
        if (m_Configuration->m_ClientUpdate != 0)
            startClientAndClose();
        else
            onStartNewUpdater();
    });
}

void MainWindow::startClientAndClose()
{
    if (m_Configuration->m_ClientUpdate == 1)
        ProcessTools::startQndClient(m_Configuration->m_InstallDir);
    close();
}

void MainWindow::onUpdateCanceled()
{
    if (m_Closing) {
        QCoreApplication::quit();
        return;
    }
    m_Finished = false;
    m_Engine->resetAfterCancel();
    appendDetail(tr("Update cancelled"));
    m_Ui->totalProgressBar->setValue(0);
    // Reached from the main task's own cancel signal: the box waits until
    // that stack has unwound.
    QMetaObject::invokeMethod(this, &MainWindow::showCancelBox, Qt::QueuedConnection);
}

void MainWindow::showCancelBox()
{
    static bool boxOpen = false;
    if (boxOpen)
        return;
    boxOpen = true;
    QMessageBox::critical(this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
    boxOpen = false;
}

void MainWindow::onUpdateProgress(qreal doneFrac)
{
    m_Ui->totalProgressBar->setValue(static_cast<int>(doneFrac * 1000.0));
}

void MainWindow::onDetailsToggled()
{
    if (m_Ui->outputTextEdit->isVisible())
        followNewestLine();
}

void MainWindow::onOtherInstanceActivate(const QString& text)
{
    if (text == QLatin1String("#")) {
        raise();
        activateWindow();
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!m_Engine->isInitialized()) {
        event->accept();
        return;
    }
    event->ignore();
    if (m_Closing)
        return;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes)
        return;
    if (!m_Engine->isInitialized()) {
        // The session ended while the question was open: there is nothing
        // left to cancel, and no cancel will come back to quit for us.
        QCoreApplication::quit();
        return;
    }
    m_Closing = true;
    m_Engine->cancelUpdate();
}

void MainWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    const int side = m_Ui->versionLabel->height();
    m_Ui->quendrailLabel->setMaximumWidth(side);
    m_Ui->quendrailLabel->setMaximumHeight(side);
    m_Ui->quendrailLabel->show();
}
