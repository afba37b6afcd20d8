#ifndef QND_TESTS_FILESERVERTEST_H
#define QND_TESTS_FILESERVERTEST_H

#include "globals.h"
#include "localhttpserver.h"
#include "support/waitfor.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// A test with a scratch directory and a file server on 127.0.0.1: the
// download base URL is the server's "/files/", reached by manager without
// any proxy. A derived test releases its tasks before this TearDown runs.
class FileServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(server.listen());
        manager.setProxy(QNetworkProxy::NoProxy);
        updateBaseUrl = server.baseUrl() + QStringLiteral("/files/");
    }
    void TearDown() override
    {
        drainEvents();
        updateBaseUrl.clear();
    }

    QTemporaryDir dir;
    LocalHttpServer server;
    QNetworkAccessManager manager;
};

#endif // QND_TESTS_FILESERVERTEST_H
