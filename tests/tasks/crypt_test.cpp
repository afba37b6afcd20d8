#include "crypt.h"
#include "support/testfiles.h"
#include "support/testsigning.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const QString goldenDir = QStringLiteral(QND_FIXTURES_DIR "/crypto-golden/");

const unsigned char* bytes(const QByteArray& a)
{
    return reinterpret_cast<const unsigned char*>(a.constData());
}

// The key laid into a zero-filled block, as the updater hands its built-in key
// to the importer.
QByteArray keyBlock(const QByteArray& der)
{
    QByteArray block(static_cast<int>(crypt_key_block_size), '\0');
    block.replace(0, der.size(), der);
    return block;
}

enum Verdict { Verified, Mismatch, Refused };

bool verifyWithKey(const QByteArray& der, const QByteArray& data, const QByteArray& sig);

// A corrupted signature may fail as a mismatch or be refused by the library;
// both must end as "not verified".
Verdict verdict(const QByteArray& der, const QByteArray& data, const QByteArray& sig)
{
    try {
        return verifyWithKey(der, data, sig) ? Verified : Mismatch;
    } catch (const crypt_exception&) {
        return Refused;
    }
}

bool verifyWithKey(const QByteArray& der, const QByteArray& data, const QByteArray& sig)
{
    crypt_key_holder key;
    const QByteArray block = keyBlock(der);
    crypt_import_key(key, bytes(block), crypt_key_block_size);
    return crypt_verify(key.get(), bytes(data), static_cast<unsigned long>(data.size()), bytes(sig),
                        static_cast<unsigned long>(sig.size()));
}

// Runs openssl; empty result text when the program is missing.
bool runOpenssl(const QStringList& args, QString* output)
{
    const QString exe = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (exe.isEmpty())
        return false;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(exe, args);
    if (!p.waitForFinished(60000))
        return false;
    *output = QString::fromLocal8Bit(p.readAll());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QStringList opensslVerifyArgs(const QString& pubPem, const QString& sig, const QString& file)
{
    return {QStringLiteral("dgst"),
            QStringLiteral("-sha1"),
            QStringLiteral("-sigopt"),
            QStringLiteral("rsa_padding_mode:pss"),
            QStringLiteral("-sigopt"),
            QStringLiteral("rsa_pss_saltlen:8"),
            QStringLiteral("-verify"),
            pubPem,
            QStringLiteral("-signature"),
            sig,
            file};
}

bool haveOpenssl()
{
    return !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty();
}

} // namespace

// OpenSSL's own signatures are the reference: self-consistency alone would
// not catch a padding, hash or salt mistake.
TEST(Crypt, AcceptsSignaturesMadeByOpenssl)
{
    const QByteArray pub = readAll(goldenDir + "golden_public.der");
    ASSERT_EQ(pub.size(), 140);
    for (const char* name : {"message.bin", "empty.bin"}) {
        SCOPED_TRACE(name);
        const QByteArray data = readAll(goldenDir + name);
        const QByteArray sig = readAll(goldenDir + name + ".sig");
        ASSERT_EQ(sig.size(), 128);
        EXPECT_TRUE(verifyWithKey(pub, data, sig));
    }
}

TEST(Crypt, RejectsTamperedDataOrSignature)
{
    const QByteArray pub = readAll(goldenDir + "golden_public.der");
    const QByteArray data = readAll(goldenDir + "message.bin");
    const QByteArray sig = readAll(goldenDir + "message.bin.sig");
    ASSERT_FALSE(data.isEmpty());

    QByteArray changedData = data;
    changedData[1000] = static_cast<char>(changedData[1000] ^ 0x01);
    EXPECT_EQ(verdict(pub, changedData, sig), Mismatch);
    EXPECT_EQ(verdict(pub, data + "x", sig), Mismatch);
    EXPECT_EQ(verdict(pub, data.left(data.size() - 1), sig), Mismatch);

    for (int at : {0, 1, 64, 126, 127}) {
        SCOPED_TRACE(at);
        QByteArray changedSig = sig;
        changedSig[at] = static_cast<char>(changedSig[at] ^ 0x40);
        EXPECT_NE(verdict(pub, data, changedSig), Verified);
    }

    // Right form, other key.
    const QByteArray otherPub = readAll(QStringLiteral(QND_FIXTURES_DIR "/keys/test_public.der"));
    EXPECT_NE(verdict(otherPub, data, sig), Verified);
}

TEST(Crypt, SignatureOfWrongLengthThrowsWithTheCallName)
{
    const QByteArray pub = readAll(goldenDir + "golden_public.der");
    const QByteArray data = readAll(goldenDir + "message.bin");
    const QByteArray sig = readAll(goldenDir + "message.bin.sig");
    for (const QByteArray& bad : {sig.left(127), sig + '\0', QByteArray()}) {
        SCOPED_TRACE(bad.size());
        try {
            verifyWithKey(pub, data, bad);
            ADD_FAILURE() << "no exception";
        } catch (const crypt_exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind("rsa_verify_hash: ", 0), 0u) << e.what();
        }
    }
}

TEST(Crypt, ImportRefusesMalformedKeysWithoutLeaking)
{
    const QByteArray pub = readAll(goldenDir + "golden_public.der");
    const QByteArray garbage = QByteArray::fromHex("3082ffff0282ffff00ff");
    const std::vector<QByteArray> rows = {
        QByteArray(),           // nothing
        QByteArray(2048, '\0'), // an all-zero key block
        keyBlock(pub.left(70)), // cut mid-modulus
        pub.left(139),          // one byte short
        garbage,                // lengths pointing past the end
        QByteArray(64, '\xff'),
    };
    // Every prefix and every single-bit corruption of a real key: each one
    // imports or throws, none reaches one of the library's aborts.
    for (int len = 1; len < pub.size(); ++len) {
        crypt_key_holder key;
        const QByteArray prefix = pub.left(len);
        try {
            crypt_import_key(key, bytes(prefix), static_cast<unsigned long>(len));
        } catch (const crypt_exception&) {
        }
    }
    for (int bit = 0; bit < pub.size() * 8; ++bit) {
        QByteArray flipped = pub;
        flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
        crypt_key_holder key;
        try {
            crypt_import_key(key, bytes(flipped), static_cast<unsigned long>(flipped.size()));
            EXPECT_TRUE(key.loaded());
        } catch (const crypt_exception&) {
            EXPECT_FALSE(key.loaded());
        }
    }
    for (const QByteArray& row : rows) {
        SCOPED_TRACE(row.toHex().left(40).toStdString());
        crypt_key_holder key;
        try {
            crypt_import_key(key, bytes(row), static_cast<unsigned long>(row.size()));
            ADD_FAILURE() << "imported";
        } catch (const crypt_exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind("rsa_import: ", 0), 0u) << e.what();
            EXPECT_FALSE(key.loaded());
        }
    }
}

// Signatures made by this signer must be accepted by an independent verifier.
TEST(Crypt, OpensslAcceptsSignaturesMadeHere)
{
    if (!haveOpenssl())
        GTEST_SKIP() << "openssl not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = goldenDir + "message.bin";
    const QString sigPath = dir.filePath("message.bin.sig");
    const QByteArray sig = signWithKeyFile(goldenDir + "golden_private.der", readAll(file));
    ASSERT_EQ(sig.size(), 128);
    crypt_write_file(sigPath.toStdString(), bytes(sig), static_cast<unsigned long>(sig.size()));

    QString out;
    EXPECT_TRUE(runOpenssl(opensslVerifyArgs(goldenDir + "golden_public.pem", sigPath, file), &out))
        << out.toStdString();
    EXPECT_TRUE(out.contains("Verified OK")) << out.toStdString();

    // And a signature over other bytes is refused by the same command, so the
    // check above is not vacuous.
    const QByteArray other = signWithKeyFile(goldenDir + "golden_private.der", "other bytes");
    crypt_write_file(sigPath.toStdString(), bytes(other), static_cast<unsigned long>(other.size()));
    EXPECT_FALSE(runOpenssl(opensslVerifyArgs(goldenDir + "golden_public.pem", sigPath, file), &out));
}

// A fresh key: its public export is the 140-byte PKCS#1 form built into the
// updater, openssl reads it, and what the key signs verifies both here and there.
TEST(Crypt, MadeKeyExportsTheBuiltInFormAndSignsVerifiably)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string pubPath = dir.filePath("pub.der").toStdString();
    const std::string privPath = dir.filePath("priv.der").toStdString();
    const QByteArray data("payload\nwith\0bytes", 18);
    const QString dataPath = dir.filePath("data.bin");
    crypt_write_file(dataPath.toStdString(), bytes(data), static_cast<unsigned long>(data.size()));

    {
        crypt_key_holder key;
        crypt_make_key(key);
        crypt_export_key(key.get(), PK_PUBLIC, pubPath);
        crypt_export_key(key.get(), PK_PRIVATE, privPath);
    }
    unsigned char* pub = nullptr;
    unsigned long pubLen = 0;
    crypt_read_file(pubPath, &pub, &pubLen);
    const QByteArray pubDer(reinterpret_cast<const char*>(pub), static_cast<int>(pubLen));
    free(pub);
    ASSERT_EQ(pubDer.size(), 140);
    EXPECT_TRUE(pubDer.startsWith(QByteArray::fromHex("30818902818100")));
    EXPECT_TRUE(pubDer.endsWith(QByteArray::fromHex("0203010001")));

    const QByteArray sig = signWithKeyFile(dir.filePath("priv.der"), data);
    EXPECT_TRUE(verifyWithKey(pubDer, data, sig));
    EXPECT_FALSE(verifyWithKey(pubDer, data.left(17), sig));

    if (!haveOpenssl())
        GTEST_SKIP() << "openssl not installed";
    const QString pem = dir.filePath("pub.pem");
    QString out;
    ASSERT_TRUE(runOpenssl({QStringLiteral("rsa"), QStringLiteral("-RSAPublicKey_in"), QStringLiteral("-inform"),
                            QStringLiteral("DER"), QStringLiteral("-in"), QString::fromStdString(pubPath),
                            QStringLiteral("-pubout"), QStringLiteral("-out"), pem},
                           &out))
        << out.toStdString();
    const QString sigPath = dir.filePath("data.bin.sig");
    crypt_write_file(sigPath.toStdString(), bytes(sig), static_cast<unsigned long>(sig.size()));
    EXPECT_TRUE(runOpenssl(opensslVerifyArgs(pem, sigPath, dataPath), &out)) << out.toStdString();
}

TEST(Crypt, FileHelpersRoundTripAndReportMissingFiles)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Sizes around the 2048-byte growth step.
    for (int size : {0, 1, 2047, 2048, 2049, 5000}) {
        SCOPED_TRACE(size);
        QByteArray data(size, '\0');
        for (int i = 0; i < size; ++i)
            data[i] = static_cast<char>(i * 7 + 3);
        const std::string path = dir.filePath("f").toStdString();
        crypt_write_file(path, bytes(data), static_cast<unsigned long>(size));
        unsigned char* buf = nullptr;
        unsigned long len = 99;
        crypt_read_file(path, &buf, &len);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(buf), static_cast<int>(len)), data);
        free(buf);
    }

    const std::string missing = dir.filePath("no/such/file").toStdString();
    unsigned char* buf = nullptr;
    unsigned long len = 0;
    try {
        crypt_read_file(missing, &buf, &len);
        ADD_FAILURE() << "read a missing file";
    } catch (const crypt_exception& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file for reading: " + missing);
    }
    try {
        crypt_write_file(missing, bytes("x"), 1);
        ADD_FAILURE() << "wrote into a missing directory";
    } catch (const crypt_exception& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file for writing: " + missing);
    }
    // A key file that cannot be opened is an import failure, not a crash.
    crypt_key_holder key;
    EXPECT_THROW(crypt_import_key_file(key, missing), crypt_exception);
    // A write that cannot complete is not reported as done.
    if (QFile::exists("/dev/full")) {
        EXPECT_THROW(crypt_write_file("/dev/full", bytes("abc"), 3), crypt_exception);
    }
}

TEST(Crypt, ParallelFirstUseInitialisesOnceAndVerifies)
{
    const QByteArray pub = readAll(goldenDir + "golden_public.der");
    const QByteArray data = readAll(goldenDir + "message.bin");
    const QByteArray sig = readAll(goldenDir + "message.bin.sig");
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            try {
                crypt_init();
                if (verifyWithKey(pub, data, sig))
                    ++passed;
            } catch (const crypt_exception&) {
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(passed.load(), 8);
    EXPECT_GE(crypt_hash_idx, 0);
    EXPECT_GE(crypt_prng_idx, 0);
    // Registering again changes nothing.
    const int hashIdx = crypt_hash_idx;
    crypt_init();
    EXPECT_EQ(crypt_hash_idx, hashIdx);
}

TEST(Crypt, BuiltInKeyBlockIsTheConfiguredKeyFollowedByZeros)
{
    const QByteArray configured = readAll(QStringLiteral(QND_PUBLIC_KEY_FILE));
    ASSERT_FALSE(configured.isEmpty());
    const QByteArray block(reinterpret_cast<const char*>(crypt_builtin_key), static_cast<int>(crypt_key_block_size));
    EXPECT_EQ(block.left(configured.size()), configured);
    EXPECT_EQ(block.mid(configured.size()), QByteArray(block.size() - configured.size(), '\0'));
    // The importer reads only the key at the front of the block.
    crypt_key_holder key;
    EXPECT_NO_THROW(crypt_import_key(key, crypt_builtin_key, crypt_key_block_size));
}
