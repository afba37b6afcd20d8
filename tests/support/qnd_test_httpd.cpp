// Serves a directory over HTTP on 127.0.0.1 for end-to-end runs of the
// updater. Prints "port <n>" on its first output line, then one line per
// request on stderr, and runs until it is terminated.
//
//   qnd_test_httpd [--port N] [--trickle BYTES] [--fail-first K] DIR
#include "localhttpserver.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    quint16 port = 0;
    LocalHttpServer::Reply options;
    QString dir;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        bool ok = true;
        if (a == QLatin1String("--port") && i + 1 < args.size()) {
            port = args[++i].toUShort(&ok);
        } else if (a == QLatin1String("--trickle") && i + 1 < args.size()) {
            options.trickleBytes = args[++i].toInt(&ok);
        } else if (a == QLatin1String("--fail-first") && i + 1 < args.size()) {
            options.failFirst = args[++i].toInt(&ok);
        } else if (dir.isEmpty() && !a.startsWith(QLatin1String("--"))) {
            dir = a;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "usage: qnd_test_httpd [--port N] [--trickle BYTES] [--fail-first K] DIR\n");
            return 2;
        }
    }
    if (dir.isEmpty() || !QFileInfo(dir).isDir()) {
        std::fprintf(stderr, "qnd_test_httpd: no directory to serve\n");
        return 2;
    }

    LocalHttpServer server;
    server.setDocumentRoot(dir);
    server.setFileReplyOptions(options);
    QObject::connect(&server, &LocalHttpServer::requestReceived,
                     [](const QByteArray& line) { std::fprintf(stderr, "%s\n", line.constData()); });
    if (!server.listen(port)) {
        std::fprintf(stderr, "qnd_test_httpd: cannot listen on 127.0.0.1:%u\n", unsigned(port));
        return 1;
    }
    std::printf("port %u\n", unsigned(server.port()));
    std::fflush(stdout);
    return app.exec();
}
