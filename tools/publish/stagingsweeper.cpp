#include "stagingsweeper.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

StagingSweeper::StagingSweeper(const QString& dir)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 3);
    sigset_t deaf;
    sigemptyset(&deaf);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&deaf, sig);
    posix_spawnattr_setsigmask(&attr, &deaf);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    const QByteArray path = QFile::encodeName(dir);
    // Left running in the background, so that the shell this process
    // waits for ends at once and no child of this process is left over.
    char sh[] = "/bin/sh", c[] = "-c", script[] = "{ cat <&3 >/dev/null; exec rm -rf -- \"$1\"; } &",
         name[] = "qnd_publish-sweeper";
    char* argv[] = {sh, c, script, name, const_cast<char*>(path.constData()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, sh, &actions, &attr, argv, environ) == 0) {
        m_Pipe = fds[1];
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
    } else {
        ::close(fds[1]);
    }
    ::close(fds[0]);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
}

StagingSweeper::~StagingSweeper()
{
    if (m_Pipe >= 0)
        ::close(m_Pipe);
}
