#include "lockhandover.h"

#include "fdio.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

const char kRequest = 'T';
const char kDescriptor = 'L';
const char kKept = 'K';
const char kRefused = 'R';

long long nowMs()
{
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Waits until fd can be read or the time is up; a closed other end counts
// as readable (the read then says so).
bool readable(int fd, int waitMs)
{
    const long long deadline = nowMs() + waitMs;
    for (;;) {
        const long long left = deadline - nowMs();
        if (left < 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, int(left));
        // Interrupted: poll again with what is left of the wait.
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

// One byte, or 0 when the other end has closed or sent something else.
char readByte(int fd)
{
    char c = 0;
    return retryOnEintr([&] { return ::recv(fd, &c, 1, MSG_DONTWAIT); }) == 1 ? c : 0;
}

bool sendByte(int fd, char c)
{
    return retryOnEintr([&] { return ::send(fd, &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT); }) == 1;
}

int intOption(int fd, int option)
{
    int value = -1;
    socklen_t size = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &size) == 0 && size == sizeof value ? value : -1;
}

} // namespace

const char* const LockHandOver::handOverVariable = "QND_INSTALL_LOCK_HANDOVER";

bool LockHandOver::makePair(int fds[2])
{
    // Packets: a request and an answer are one message each, never merged
    // or split.
    return ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0;
}

bool LockHandOver::serve(int fd, int lockFd, int waitMs, int answerMs)
{
    if (!readable(fd, waitMs) || readByte(fd) != kRequest)
        return false;
    char data = kDescriptor;
    iovec part{&data, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    std::memset(control, 0, sizeof control);
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &lockFd, sizeof(int));
    if (retryOnEintr([&] { return ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT); }) != 1)
        return false;
    return readable(fd, answerMs) && readByte(fd) == kKept;
}

bool LockHandOver::isHandOverSocket(int fd)
{
    struct stat info;
    if (fd <= STDERR_FILENO || ::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode))
        return false;
    if (intOption(fd, SO_DOMAIN) != AF_UNIX || intOption(fd, SO_TYPE) != SOCK_SEQPACKET)
        return false;
    // Anyone may connect a local socket; only our own first step may hand
    // us a lock.
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer && peer.pid > 0
        && peer.uid == ::geteuid();
}

int LockHandOver::request(int fd, int waitMs)
{
    if (!sendByte(fd, kRequest) || !readable(fd, waitMs))
        return -1;
    char data = 0;
    iovec part{&data, 1};
    // Room for more than one: whatever else arrives is closed, not leaked.
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = retryOnEintr([&] { return ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT); });
    if (got < 0)
        return -1;
    UniqueFd received;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS || header->cmsg_len < CMSG_LEN(0))
            continue;
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int one = -1;
            std::memcpy(&one, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
            UniqueFd arrived(one);
            if (!received.isValid())
                received = std::move(arrived);
        }
    }
    if (got != 1 || data != kDescriptor || (message.msg_flags & MSG_CTRUNC) != 0)
        return -1;
    return received.release();
}

void LockHandOver::answer(int fd, bool kept)
{
    sendByte(fd, kept ? kKept : kRefused);
}
