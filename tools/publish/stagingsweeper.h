#ifndef QND_PUBLISH_STAGINGSWEEPER_H
#define QND_PUBLISH_STAGINGSWEEPER_H

#include <QString>

// Removes the staging folder as soon as this process ends, however it ends
// (Ctrl-C and kills included), so that no half-written tree waits in a folder
// a server may list until the next run. A shell in its own process group,
// deaf to the terminal's signals, waits for the end of a pipe that only this
// process holds; a normal end has removed the folder by then.
class StagingSweeper
{
public:
    explicit StagingSweeper(const QString& dir);
    // The sweeper outlives a normal end by a moment, with nothing left to do.
    ~StagingSweeper();
    StagingSweeper(const StagingSweeper&) = delete;
    StagingSweeper& operator=(const StagingSweeper&) = delete;

private:
    int m_Pipe = -1;
};

#endif // QND_PUBLISH_STAGINGSWEEPER_H
