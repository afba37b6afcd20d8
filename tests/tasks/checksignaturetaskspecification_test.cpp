#include "checksignaturetaskspecification.h"
#include "crypt.h"
#include "support/waitfor.h"
#include "support/testfiles.h"
#include "support/testsigning.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

namespace {

const QString keysDir = QStringLiteral(QND_FIXTURES_DIR "/keys/");
const QByteArray payload("Quendrail test payload\n");
const QString payloadSha512 = QStringLiteral("c0f486c575197a7c879f6c005d1a540a11a19bdb51518a06822ad1bcbf0a659b"
                                             "8d64a89424473de2de858313cb6722280652aafbbe48b7c80bce855851fd8595");
const QString emptySha512 = QStringLiteral("cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
                                           "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");

struct CheckRow
{
    const char* name;
    bool signatureMode;
    // Lays out "<dir>/file.bin" and whatever else the row needs.
    std::function<void(const QString& file)> setup;
    QString digest; // digest mode only
    bool failOnMismatch;
    bool pass;
};

void PrintTo(const CheckRow& row, std::ostream* os)
{
    *os << row.name;
}

// A row's setup: the file with content, and a signature file with what sign
// makes, made only when the row runs.
std::function<void(const QString&)> withSignature(const QByteArray& content, QByteArray (*sign)())
{
    return [content, sign](const QString& f) {
        writeAll(f, content);
        writeAll(f + ".sig", sign());
    };
}

class CheckMatrix : public ::testing::TestWithParam<CheckRow>
{};

const CheckRow checkRows[] = {
    {"ValidSignature", true, withSignature(payload, [] { return signWithTestKey(payload); }), {}, true, true},
    {"TamperedFile", true, withSignature(payload + "!", [] { return signWithTestKey(payload); }), {}, true, false},
    {"SignatureOf127Bytes",
     true,
     withSignature(payload, [] { return signWithTestKey(payload).left(127); }),
     {},
     true,
     false},
    {"EmptySignatureFile", true, withSignature(payload, [] { return QByteArray(); }), {}, true, false},
    {"MissingSignatureReportedOnly", true, [](const QString& f) { writeAll(f, payload); }, {}, false, false},
    {"SignedByAnotherKey",
     true,
     withSignature(
         payload,
         [] { return signWithKeyFile(QStringLiteral(QND_FIXTURES_DIR "/crypto-golden/golden_private.der"), payload); }),
     {},
     true,
     false},
    {"EmptyFileWithMatchingSignature", true, withSignature({}, [] { return signWithTestKey({}); }), {}, true, true},
    {"MissingFileSignatureMode", true, [](const QString&) {}, {}, true, false},
    {"DigestLowerCase", false, [](const QString& f) { writeAll(f, payload); }, payloadSha512, true, true},
    {"DigestUpperCase", false, [](const QString& f) { writeAll(f, payload); }, payloadSha512.toUpper(), true, true},
    {"DigestOfEmptyFile", false, [](const QString& f) { writeAll(f, {}); }, emptySha512, true, true},
    {"WrongDigestReportedOnly", false, [](const QString& f) { writeAll(f, payload + "x"); }, payloadSha512, false,
     false},
    {"WrongDigestFails", false, [](const QString& f) { writeAll(f, payload + "x"); }, payloadSha512, true, false},
    {"DigestWithTrailingBlank", false, [](const QString& f) { writeAll(f, payload); }, payloadSha512 + " ", true,
     false},
    {"DigestCutShort", false, [](const QString& f) { writeAll(f, payload); }, payloadSha512.left(127), true, false},
    {"MissingFileDigestMode", false, [](const QString&) {}, payloadSha512, true, false},
};

} // namespace

TEST_P(CheckMatrix, EndsWithTheResultStateAndMessages)
{
    const CheckRow& row = GetParam();
    if (row.signatureMode && !builtInKeyIsTestKey())
        GTEST_SKIP() << "built with a key other than the test key";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath("file.bin");
    row.setup(file);

    CheckSignatureTaskSpecification task(file, row.digest, row.failOnMismatch, nullptr, 0.2);
    QStringList events;
    QObject::connect(&task, &TaskSpecification::message, [&](const QString& m) { events << "message:" + m; });
    QObject::connect(&task, &CheckSignatureTaskSpecification::checkDone,
                     [&](bool pass, CheckSignatureTaskSpecification* t) {
                         EXPECT_EQ(t, &task);
                         events << QStringLiteral("checkDone:%1").arg(pass);
                     });
    QObject::connect(&task, &TaskSpecification::finished, [&] { events << "finished"; });
    QObject::connect(&task, &TaskSpecification::canceled, [&] { events << "canceled"; });

    task.execute();
    EXPECT_EQ(task.state(), TASK_RUNNING);
    ASSERT_TRUE(waitFor([&] { return task.state() != TASK_RUNNING; }));
    drainEvents();

    QStringList expected;
    if (!QFile::exists(file))
        expected << "message:Could not open file " + file + " for reading";
    else if (row.signatureMode && !QFile::exists(file + ".sig"))
        expected << "message:Could not open file " + file + ".sig for reading";
    if (row.pass) {
        expected << "checkDone:1"
                 << "finished";
        EXPECT_EQ(task.state(), TASK_FINISHED);
    } else {
        expected << "message:Signature check failed for " + file << "checkDone:0";
        expected << (row.failOnMismatch ? "canceled" : "finished");
        EXPECT_EQ(task.state(), row.failOnMismatch ? TASK_FAILED : TASK_FINISHED);
    }
    EXPECT_EQ(events, expected);
    if (task.state() == TASK_FINISHED) {
        EXPECT_DOUBLE_EQ(task.progress(), 0.2);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CheckMatrix, ::testing::ValuesIn(checkRows),
                         [](const ::testing::TestParamInfo<CheckRow>& info) { return std::string(info.param.name); });

TEST(CheckSignatureTask, ResultArrivingAfterResetEndsNothing)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath("file.bin");
    ASSERT_TRUE(writeAll(file, payload));
    CheckSignatureTaskSpecification task(file, payloadSha512, true, nullptr, 1.0);
    QSignalSpy done(&task, &CheckSignatureTaskSpecification::checkDone);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    task.reset(); // waits for the work; its queued result belongs to the old run
    drainEvents();
    EXPECT_EQ(task.state(), TASK_IDLE);
    EXPECT_EQ(done.count(), 0);
    EXPECT_EQ(finished.count(), 0);
}

// A signature check in a process where nothing has set the crypto library up
// yet must answer, not abort. Runs in a freshly started copy of this program.
TEST(CheckSignatureTaskDeathTest, CheckBeforeAnyInitialisationAnswers)
{
    if (!builtInKeyIsTestKey())
        GTEST_SKIP() << "built with a key other than the test key";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const QString sample = keysDir + "signed_sample.txt";
    const QString wrong = QStringLiteral(QND_FIXTURES_DIR "/crypto-golden/message.bin");
    EXPECT_EXIT(
        {
            const bool fresh = crypt_hash_idx == -1;
            const bool good = CheckSigFunc(sample, {}).run();
            const bool bad = CheckSigFunc(wrong, {}).run();
            std::_Exit(fresh && good && !bad ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Files of 2 GiB and more are hashed in chunks rather than read whole. A
// sparse file keeps this cheap on disk; the digest below is SHA-1 of 2^31 + 1
// zero bytes.
TEST(CheckSignatureTask, SignatureCheckHandlesFilesOfTwoGiBAndMore)
{
    if (!builtInKeyIsTestKey())
        GTEST_SKIP() << "built with a key other than the test key";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath("big.bin");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize((qint64(1) << 31) + 1));
    }
    const QByteArray digest = QByteArray::fromHex("5007e5ebf10d0a9f01aef1c26c066169456d95ea");
    crypt_key_holder key;
    crypt_import_key_file(key, (keysDir + "test_private.der").toStdString());
    unsigned char sig[256];
    unsigned long sigLen = sizeof sig;
    crypt_check("rsa_sign_hash",
                rsa_sign_hash_ex(reinterpret_cast<const unsigned char*>(digest.constData()), 20, sig, &sigLen,
                                 LTC_PKCS_1_PSS, nullptr, crypt_prng_idx, crypt_hash_idx, 8, key.get()));
    ASSERT_TRUE(writeAll(file + ".sig", QByteArray(reinterpret_cast<const char*>(sig), static_cast<int>(sigLen))));

    EXPECT_TRUE(CheckSigFunc(file, {}).run());
}
