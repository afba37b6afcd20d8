#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The update session is assembled from the task library as it grows.
    QTextStream(stderr) << "update: the update session is not available in this build\n";
    return 1;
}
