#include "outlock.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>

bool OutLock::take(const QString& outDir, const std::function<void(const QString&)>& progress, QString* error)
{
    m_Fd = UniqueFd(::open(QFile::encodeName(outDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (m_Fd.isValid() && ::flock(m_Fd.get(), LOCK_EX | LOCK_NB) == 0)
        return true;
    if (m_Fd.isValid() && errno == EWOULDBLOCK) {
        if (progress)
            progress(QStringLiteral("waiting for another qnd_publish run into %1 to end").arg(outDir));
        int got = 0;
        while ((got = ::flock(m_Fd.get(), LOCK_EX)) != 0 && errno == EINTR) {}
        if (got == 0)
            return true;
    }
    *error = QStringLiteral("cannot lock %1 against other publishing runs: %2")
                 .arg(outDir, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}
