#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QString>
#include <QWidget>

#include <memory>

class Configuration;
class UpdateEngine;
class SingleInstanceChecker;
class QCloseEvent;
class QShowEvent;

namespace Ui {
class MainWindow;
}

// The updater's only window: a header with the target version, channel and
// step, the session's progress and a details view of its messages. It owns the
// update engine and the single-instance checker, starts the session once the
// configuration is ready, and when the session has finished starts the client
// or the new updater and closes.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    // configuration is not owned and must outlive the window.
    // checker: the instance start-up has already taken, adopted as a child;
    // without one the window makes its own.
    explicit MainWindow(Configuration* configuration, SingleInstanceChecker* checker = nullptr);
    ~MainWindow() override;

    void updateVersionLabel();
    void delete_force_update_files();
    void write_force_update_file(const QString& name);

    UpdateEngine* engine() const { return m_Engine; }

public slots:
    void onRebootWithConfirmation();
    void onFatalError(QString errorMessage);
    void onStartUpdate();
    void onStartNewUpdater();
    void onAppendText(QString text);
    void onUpdateFinished();
    void onUpdateCanceled();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void onEngineError(const QString& text);
    void onUpdateProgress(qreal doneFrac);
    void onDetailsToggled();
    void onOtherInstanceActivate(const QString& text);
    void onConfigFatalError(const QString& text);
    void startClientAndClose();
    // Reports a new updater that could not be started, and ends the program
    // with a non-zero code once the box is closed.
    void failToStartNewUpdater(const QString& cause);
    void showErrorBox(const QString& text);
    void showCancelBox();
    // Every text of the details view goes in here, as plain text: server and
    // ini texts must never be read as markup.
    void appendDetail(const QString& text);
    void followNewestLine();

    std::unique_ptr<Ui::MainWindow> m_Ui;               // the form (mainwindow.ui)
    Configuration* m_Configuration;                     // not owned
    UpdateEngine* m_Engine;                             // child
    SingleInstanceChecker* m_InstanceChecker = nullptr; // child
    bool m_Finished = false;
    bool m_Closing = false;
    bool m_Started = false;
    bool m_Reboot = false;
    bool m_FatalPending = false; // a fatal box is shown or due; no session may start
    bool m_FollowNewest = true;  // the details view stays on its newest line
};

#endif // MAINWINDOW_H
