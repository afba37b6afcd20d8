#ifndef QND_TESTS_OPENWATCH_H
#define QND_TESTS_OPENWATCH_H

#include <QFile>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <sys/inotify.h>
#include <unistd.h>

// Counts, from its construction on, the opens and reads of a folder and of
// the entries right in it (a fifo's open included, which nothing else would
// show when it does not block): the proof that code left them alone.
class OpenWatch
{
public:
    explicit OpenWatch(const QString& folder) : m_Fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        m_Valid =
            m_Fd >= 0 && ::inotify_add_watch(m_Fd, QFile::encodeName(folder).constData(), IN_OPEN | IN_ACCESS) >= 0;
    }
    ~OpenWatch()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool isValid() const { return m_Valid; }
    // Opens (the folder's own included) and reads seen so far; -1 when the
    // watch could not be set.
    int opens() { return collect() ? m_Opens : -1; }
    int entryOpens() { return collect() ? m_Opens - m_FolderOpens : -1; }
    int reads() { return collect() ? m_Reads : -1; }

private:
    bool collect()
    {
        if (!m_Valid)
            return false;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(m_Fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 && errno == EAGAIN;
            for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                m_Opens += (event->mask & IN_OPEN) ? 1 : 0;
                m_FolderOpens += (event->mask & IN_OPEN) && (event->mask & IN_ISDIR) ? 1 : 0;
                m_Reads += (event->mask & IN_ACCESS) ? 1 : 0;
                at += ssize_t(sizeof(inotify_event)) + ssize_t(event->len);
            }
        }
    }

    int m_Fd;
    bool m_Valid = false;
    int m_Opens = 0;
    int m_FolderOpens = 0;
    int m_Reads = 0;
};

// Ends, from a deadline on, whatever open or read of the fifos hangs: they
// are opened for writing and closed again, which lets a blocked reader see
// their end. Code that wrongly opens one then fails its test instead of
// hanging it.
class FifoDeadline
{
public:
    FifoDeadline(const QStringList& fifos, int ms)
        : m_Thread([this, fifos, ms] {
              std::unique_lock<std::mutex> lock(m_Mutex);
              // Again and again once due: each open of a fifo may hang anew.
              for (int wait = ms; !m_Done.wait_for(lock, std::chrono::milliseconds(wait), [this] { return m_Stop; });
                   wait = 50) {
                  for (const QString& fifo : fifos) {
                      const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                      if (fd >= 0)
                          ::close(fd);
                  }
              }
          })
    {
    }
    ~FifoDeadline()
    {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Stop = true;
        }
        m_Done.notify_all();
        m_Thread.join();
    }
    FifoDeadline(const FifoDeadline&) = delete;
    FifoDeadline& operator=(const FifoDeadline&) = delete;

private:
    std::mutex m_Mutex;
    std::condition_variable m_Done;
    bool m_Stop = false;
    std::thread m_Thread;
};

#endif
