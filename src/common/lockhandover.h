#ifndef LOCKHANDOVER_H
#define LOCKHANDOVER_H

// Passes a held lock's descriptor from the first step of a self-update to
// the second, and only when the second asks for it. The first step starts
// the second with one end of a socket pair open in it, named by
// handOverVariable: a second step that knows nothing of this holds a
// socket, never the lock, and takes the lock its own way once the first
// step has ended. One that knows asks, receives the descriptor and says
// whether it kept it, so that no start in between can take the lock.
class LockHandOver
{
public:
    LockHandOver() = delete;

    static const char* const handOverVariable;

    // A connected pair, both ends close-on-exec: fds[0] stays with the
    // first step, fds[1] is for the second.
    static bool makePair(int fds[2]);
    // First step: waits up to waitMs for a request on fd (false when none
    // comes or the other end closes), sends lockFd, and waits up to
    // answerMs for the answer. True when the second step kept it.
    static bool serve(int fd, int lockFd, int waitMs, int answerMs);

    // Whether fd is the second step's end of such a pair: a connected local
    // packet socket whose other end is held by a process of this user.
    static bool isHandOverSocket(int fd);
    // Second step: asks over fd and returns the descriptor received,
    // close-on-exec, or -1 when none comes within waitMs.
    static int request(int fd, int waitMs);
    // Second step: tells the first whether the descriptor was kept.
    static void answer(int fd, bool kept);
};

#endif // LOCKHANDOVER_H
