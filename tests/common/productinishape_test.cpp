#include "productinishape.h"

#include "support/testfiles.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QByteArray h64 = QByteArray(128, 'a');

// Lines that cannot all hold in one tree, each problem naming both lines.
TEST(ProductIniShapeTest, LinesThatCannotHoldInOneTreeAreNamedInPairs)
{
    const struct
    {
        const char* label;
        QByteArray ini;
        const char* message; // expected among the problems
    } rows[] = {
        {"PackedLineTargetsAnotherLinesFile", "[files]\nb=" + h64 + "::1\nx.gz=" + h64 + "::1::" + h64 + "::1::b\n",
         "[files] b and [files] x.gz both install b"},
        {"SameFileSpeltTwoWays", "[files]\nb=" + h64 + "::1\nx.gz=" + h64 + "::1::" + h64 + "::1::./b\n",
         "[files] b and [files] x.gz both install b"},
        {"FileAndAFileBelowIt",
         "[data]\nlevels.dat=" + h64 + "::1\nb.gz=" + h64 + "::1::" + h64 + "::1::levels.dat/b\n",
         "[data] levels.dat installs the file levels.dat, which [data] b.gz needs as a "
         "folder"},
        {"FileAndAFileDeepBelowItInAnotherGroup", "[a]\nx=" + h64 + "::1\n[b]\nx/y/z=" + h64 + "::1\n",
         "[a] x installs the file x, which [b] x/y/z needs as a folder"},
        {"DeletesAFileTheTreeInstalls", "[files]\nb=" + h64 + "::1\n[delete]\nb=1\n",
         "[delete] b deletes b, which [files] b installs"},
        {"DeletesRecursivelyAFileTheTreeInstalls", "[files]\ndocs=" + h64 + "::1\n[delete]\ndocs=2\n",
         "[delete] docs deletes docs, which [files] docs installs"},
        {"ExecutableListedTwice",
         "executables=111::qndclient_runscript.sh, 000::qndclient_runscript.sh\n[files]\nqndclient_runscript.sh=" + h64
             + "::1\n",
         "executables items 111::qndclient_runscript.sh and 000::qndclient_runscript.sh both "
         "name qndclient_runscript.sh"},
        {"ExecutableListedTwiceSpeltTwoWays", "executables=111::a, 100::./a\n[files]\na=" + h64 + "::1\n",
         "executables items 111::a and 100::./a both name a"},
    };
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const QString path = dir.filePath(QString::fromLatin1(row.label) + ".ini");
        ASSERT_TRUE(writeAll(path, row.ini));
        QSettings ini(path, QSettings::IniFormat);
        const QStringList problems = productIniShapeProblems(ini);
        EXPECT_TRUE(problems.contains(QString::fromUtf8(row.message))) << problems.join("\n").toStdString();
        EXPECT_TRUE(ini.group().isEmpty());
    }
}

} // namespace
