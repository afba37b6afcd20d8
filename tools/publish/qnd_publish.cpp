// Publishes one version of the client (or the updater) as the signed
// file-server tree the updater downloads from, or checks such a tree.
#include "productininames.h"
#include "publisher.h"
#include "treeverifier.h"
#include "versionsreply.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHash>
#include <QStringList>

#include <cstdio>
#include <vector>

namespace {

// The options by their first name.
using Options = QHash<QString, const QCommandLineOption*>;

const char kDescription[] =
    "Publishes one version of the Quendrail 3 client (or, with --updater, of the updater) as the\n"
    "tree the updater downloads: OUT/VERSION/ holds the product ini, packed with LZMA2 and signed\n"
    "with KEY, and one download per file: the smallest of the file itself, gzip and LZMA2, plus a\n"
    "patch from each --old version where the patch is smaller. Each --old must hold exactly a\n"
    "version already published in OUT (any tree while OUT holds no version of the target). The tree\n"
    "is written beside OUT in a folder only its owner reads, removed if the run ends early, and\n"
    "moved into place only once it is complete and signed; files are served 0644, folders 0755.\n"
    "Clients get exactly the new tree: its files, their execute bits, and no folder of an --old\n"
    "version that the new one lacks (emptied folders go; a user's own files stay). A link to a\n"
    "file inside DIR is published as a copy of that file. Refused, every path listed in one run:\n"
    "unreadable files or folders, names that are not UTF-8, links that leave DIR, broken links,\n"
    "links to folders, empty folders and folders of refused entries only, names ending in _patch_,\n"
    "and the updater's own names (update.ini, .qnd-replace, .qnd-lock, .qnd-updater) at the top of\n"
    "DIR. A client tree must hold the updater program update at its top, executable by its owner,\n"
    "and every file of the version's updater tree byte for byte (the later of the two publishes is\n"
    "refused otherwise). Files with the same bytes (links, copies) share one download of each form\n"
    "and one patch; publishes into one OUT take turns.\n"
    "\n"
    "The version reply (--channel) only names a version whose client and updater trees are both\n"
    "in OUT: publish one of them without --channel, then the other with it, or write the reply\n"
    "alone with --reply-only. It never moves a channel to an older version without --allow-older.\n"
    "\n"
    "With --verify it checks a published tree instead: the signature against PUBLIC (the key the\n"
    "updater is built with), every file's size and digest, what every packed file unpacks to,\n"
    "every patch applied to each --old tree that holds its base, that the client tree carries the\n"
    "updater tree's files when both are there, and with --versions-dir the version reply (with\n"
    "--channel: that it names N with --version-text, default N).\n"
    "\n"
    "Keys are RSA keys in PEM or DER form (PKCS#1 or PKCS#8; not encrypted).\n"
    "Install commands: PROGRAM[::ARGUMENT...], where PROGRAM is a file of the new tree (published\n"
    "whole) and __QND_DIR__ in an argument stands for the client directory. The updater runs each\n"
    "group's commands in the order of their program names and hands every argument to the program\n"
    "with \"--\" in front. An optional command without arguments gets one empty argument.\n"
    "\n"
    "Exit codes: 0 done, 1 failed (or problems found), 2 bad command line or a --new tree with paths\n"
    "that cannot be published (all of them are listed).";

void printLines(FILE* to, const char* what, const QStringList& lines)
{
    for (const QString& line : lines)
        std::fprintf(to, "%-9s %s\n", what, qPrintable(line));
}

int usageError(const QString& text)
{
    std::fprintf(stderr, "qnd_publish: %s\nTry \"qnd_publish --help\".\n", qPrintable(text));
    return 2;
}

bool parseVersion(const QString& text, int* version)
{
    bool ok = false;
    *version = text.toInt(&ok, 10);
    return ok && *version > 0;
}

// Install commands in the order they were given, across the plain and the
// optional option of one group.
QList<PublishInstallCommand> installCommands(const QCommandLineParser& parser, const QString& name)
{
    const QString optionalName = name + QStringLiteral("-optional");
    const QStringList plain = parser.values(name), optional = parser.values(optionalName);
    QList<PublishInstallCommand> commands;
    int p = 0, o = 0;
    for (const QString& found : parser.optionNames()) {
        const bool isOptional = found == optionalName;
        if (!isOptional && found != name)
            continue;
        const QStringList parts = (isOptional ? optional.value(o++) : plain.value(p++)).split(productIniPartSeparator);
        commands.append({parts.first(), parts.mid(1), isOptional});
    }
    return commands;
}

// A value that is itself one of the options: the option before it lost its
// value (the parser takes the next word whatever it is).
QString missingValueProblem(const QCommandLineParser& parser, const QList<const QCommandLineOption*>& options)
{
    QStringList names;
    for (const QCommandLineOption* opt : options)
        names << opt->names();
    for (const QCommandLineOption* opt : options) {
        if (opt->valueName().isEmpty())
            continue;
        for (const QString& value : parser.values(*opt)) {
            QString bare = value;
            while (bare.startsWith(QLatin1Char('-')))
                bare.remove(0, 1);
            if (value.startsWith(QLatin1Char('-')) && names.contains(bare.section(QLatin1Char('='), 0, 0)))
                return QStringLiteral("--%1 needs a value, but %2 follows it").arg(opt->names().first(), value);
        }
    }
    return QString();
}

// The options a mode reads; anything else given would be silently ignored.
QString ignoredOptionProblem(const QCommandLineParser& parser, const QList<const QCommandLineOption*>& options,
                             const QString& mode, const QStringList& used)
{
    for (const QCommandLineOption* opt : options) {
        const QString name = opt->names().first();
        if (parser.isSet(*opt) && name != mode && !used.contains(name))
            return QStringLiteral("--%1 has no effect with --%2").arg(name, mode);
    }
    return QString();
}

int verify(const QCommandLineParser& parser, const Options& o)
{
    VerifyOptions v;
    v.outDir = parser.value(*o["out"]);
    v.publicKeyPath = parser.value(*o["public-key"]);
    v.oldDirs = parser.values(*o["old"]);
    v.versionsDir = parser.value(*o["versions-dir"]);
    v.channels = parser.values(*o["channel"]);
    v.versionText = parser.value(*o["version-text"]);
    if (v.outDir.isEmpty() || v.publicKeyPath.isEmpty() || !parseVersion(parser.value(*o["version"]), &v.version))
        return usageError(QStringLiteral("--verify needs --out, --version (a number above 0) and --public-key"));
    if (!v.channels.isEmpty() && v.versionsDir.isEmpty())
        return usageError(QStringLiteral("--channel and --versions-dir go together"));
    if (!v.versionText.isEmpty() && v.channels.isEmpty())
        return usageError(QStringLiteral("--version-text goes with --channel"));
    for (const QString& c : v.channels) {
        if (!channelProblem(c).isEmpty())
            return usageError(channelProblem(c));
    }
    VerifyReport report;
    QString error;
    if (!verifyTree(v, &report, &error)) {
        std::fprintf(stderr, "qnd_publish: %s\n", qPrintable(error));
        return 1;
    }
    printLines(stdout, "problem", report.problems);
    printLines(stdout, "note", report.notes);
    std::printf("checked %s: %d files, %d patches applied, %d problems\n",
                qPrintable(report.inis.join(QStringLiteral(", "))), report.files, report.patchesApplied,
                int(report.problems.size()));
    return report.problems.isEmpty() ? 0 : 1;
}

// Every option but --help, in the order the help lists them.
std::vector<QCommandLineOption> commandLineOptions()
{
    return {
        {QStringLiteral("new"), QStringLiteral("The version to publish: its installed files."), QStringLiteral("DIR")},
        {QStringLiteral("version"), QStringLiteral("Its version number (above 0), the directory on the server."),
         QStringLiteral("N")},
        {QStringLiteral("out"), QStringLiteral("Root of the file-server tree (the updater's download base)."),
         QStringLiteral("OUT")},
        {QStringLiteral("key"), QStringLiteral("RSA private key that signs the product ini (required)."),
         QStringLiteral("KEY")},
        {QStringLiteral("old"),
         QStringLiteral("An installed older version to patch from, one already published in OUT; may be given "
                        "more than once. With --verify: a tree to apply the patches to."),
         QStringLiteral("DIR")},
        {QStringLiteral("updater"),
         QStringLiteral("Publish the updater itself (section \"update\") instead of the client.")},
        {QStringLiteral("section"), QStringLiteral("Server directory of the files (default client, or update)."),
         QStringLiteral("NAME")},
        {QStringLiteral("form"),
         QStringLiteral("Form of files fetched whole: auto (the smallest, default), plain, gz or lzma2."),
         QStringLiteral("FORM"), QStringLiteral("auto")},
        {QStringLiteral("no-patches"), QStringLiteral("Publish no patches.")},
        {QStringLiteral("preprocess"), QStringLiteral("Store executables disassembled in LZMA2-packed files.")},
        {QStringLiteral("preinstall"), QStringLiteral("A command to run before the files are replaced."),
         QStringLiteral("COMMAND")},
        {QStringLiteral("preinstall-optional"), QStringLiteral("The same, whose failure does not fail the update."),
         QStringLiteral("COMMAND")},
        {QStringLiteral("postinstall"), QStringLiteral("A command to run after the files are replaced."),
         QStringLiteral("COMMAND")},
        {QStringLiteral("postinstall-optional"), QStringLiteral("The same, whose failure does not fail the update."),
         QStringLiteral("COMMAND")},
        {QStringLiteral("channel"),
         QStringLiteral("Name this version the newest of a channel (stable, beta or alpha) in the version reply; "
                        "may be given more than once."),
         QStringLiteral("NAME")},
        {QStringLiteral("version-text"), QStringLiteral("Its display text in the version reply (default: N)."),
         QStringLiteral("TEXT")},
        {QStringLiteral("versions-dir"),
         QStringLiteral("Document root of the version-query host: the reply is written to DIR/qnd-client-2, keeping "
                        "the channels not named."),
         QStringLiteral("DIR")},
        {QStringLiteral("allow-older"),
         QStringLiteral("Let --channel name a version older than the one the channel names now.")},
        {QStringLiteral("reply-only"),
         QStringLiteral("Write only the version reply for version N, already published in OUT (needs --channel and "
                        "--versions-dir; no --new or --key).")},
        {QStringLiteral("verify"), QStringLiteral("Check the published tree OUT/N instead of publishing.")},
        {QStringLiteral("public-key"),
         QStringLiteral("The RSA public key the updater is built with: --verify checks the signature "
                        "with it; a publish refuses a --key that is not its private half. Without it a publish "
                        "still refuses a --key that does not verify the newest version in OUT."),
         QStringLiteral("PUBLIC")},
    };
}

// The reply's options, which a publish and --reply-only share; a problem, or empty.
QString readReplyOptions(const QCommandLineParser& parser, const Options& o, PublishOptions* p)
{
    p->channels = parser.values(*o["channel"]);
    p->versionText = parser.value(*o["version-text"]);
    p->versionsDir = parser.value(*o["versions-dir"]);
    p->allowOlder = parser.isSet(*o["allow-older"]);
    p->outDir = parser.value(*o["out"]);
    if (p->channels.isEmpty() != p->versionsDir.isEmpty())
        return QStringLiteral("--channel and --versions-dir go together");
    if (p->allowOlder && p->channels.isEmpty())
        return QStringLiteral("--allow-older goes with --channel");
    if (!p->versionText.isEmpty() && p->channels.isEmpty())
        return QStringLiteral("--version-text goes with --channel");
    for (const QString& c : p->channels) {
        if (!channelProblem(c).isEmpty())
            return channelProblem(c);
    }
    return QString();
}

int replyOnly(const QCommandLineParser& parser, const Options& o, PublishOptions& p)
{
    if (p.outDir.isEmpty() || p.channels.isEmpty() || !parseVersion(parser.value(*o["version"]), &p.version))
        return usageError(QStringLiteral("--reply-only needs --out, --version, --channel and --versions-dir"));
    PublishReport report;
    QString error;
    if (!publishVersionsReply(p, &report, &error)) {
        std::fprintf(stderr, "qnd_publish: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("reply %s\n", qPrintable(report.versionsReplyPath));
    return 0;
}

// The options of the tree to publish; a problem, or empty.
QString readTreeOptions(const QCommandLineParser& parser, const Options& o, PublishOptions* p)
{
    p->newDir = parser.value(*o["new"]);
    p->keyPath = parser.value(*o["key"]);
    p->publicKeyPath = parser.value(*o["public-key"]);
    p->oldDirs = parser.values(*o["old"]);
    p->section = parser.value(*o["section"]);
    p->targetKind = parser.isSet(*o["updater"]) ? 0 : 1;
    p->patches = !parser.isSet(*o["no-patches"]);
    p->lzmaPreprocess = parser.isSet(*o["preprocess"]);
    p->preInstall = installCommands(parser, QStringLiteral("preinstall"));
    p->postInstall = installCommands(parser, QStringLiteral("postinstall"));
    const QString form = parser.value(*o["form"]);
    const QStringList forms{QStringLiteral("auto"), QStringLiteral("plain"), QStringLiteral("gz"),
                            QStringLiteral("lzma2")};
    if (!forms.contains(form))
        return QStringLiteral("--form is auto, plain, gz or lzma2, not %1").arg(form);
    p->form = PublishOptions::Form(forms.indexOf(form));
    if (p->newDir.isEmpty() || p->outDir.isEmpty() || p->keyPath.isEmpty())
        return QStringLiteral("--new, --out and --key are required");
    if (!parseVersion(parser.value(*o["version"]), &p->version))
        return QStringLiteral("--version must be a number above 0");
    if (!p->section.isEmpty() && !sectionProblem(p->section).isEmpty())
        return sectionProblem(p->section);
    return QString();
}

int publishTree(const PublishOptions& p)
{
    PublishReport report;
    QString error;
    const bool ok = publish(p, &report, &error);
    printLines(stderr, "note", report.notes);
    if (!ok) {
        std::fprintf(stderr, "qnd_publish: %s\n", qPrintable(error));
        return report.refused.isEmpty() ? 1 : 2;
    }
    printLines(stdout, "plain", report.plain);
    printLines(stdout, "gzip", report.gzip);
    printLines(stdout, "lzma2", report.lzma2);
    printLines(stdout, "patch", report.patched);
    printLines(stdout, "unchanged", report.unchanged);
    printLines(stdout, "delete", report.deleted);
    std::printf("ini %s\n", qPrintable(report.iniPath));
    if (!report.versionsReplyPath.isEmpty())
        std::printf("reply %s\n", qPrintable(report.versionsReplyPath));
    return 0;
}

// A publish, or with --reply-only the version reply alone.
int publishMode(const QCommandLineParser& parser, const Options& o)
{
    PublishOptions p;
    QString problem = readReplyOptions(parser, o, &p);
    if (!problem.isEmpty())
        return usageError(problem);
    p.progress = [](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); };
    if (parser.isSet(*o["reply-only"]))
        return replyOnly(parser, o, p);
    problem = readTreeOptions(parser, o, &p);
    return problem.isEmpty() ? publishTree(p) : usageError(problem);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qnd_publish"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const std::vector<QCommandLineOption> opts = commandLineOptions();
    parser.addOption(help);
    Options o;
    QList<const QCommandLineOption*> all;
    for (const QCommandLineOption& opt : opts) {
        parser.addOption(opt);
        o.insert(opt.names().first(), &opt);
        all << &opt;
    }
    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }
    QString problem = missingValueProblem(parser, all);
    if (!problem.isEmpty())
        return usageError(problem);
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    if (parser.isSet(*o["verify"])) {
        problem = ignoredOptionProblem(parser, all, QStringLiteral("verify"),
                                       {QStringLiteral("out"), QStringLiteral("version"), QStringLiteral("public-key"),
                                        QStringLiteral("old"), QStringLiteral("versions-dir"),
                                        QStringLiteral("channel"), QStringLiteral("version-text")});
        return problem.isEmpty() ? verify(parser, o) : usageError(problem);
    }
    const QStringList reply{QStringLiteral("out"),          QStringLiteral("version"),
                            QStringLiteral("channel"),      QStringLiteral("versions-dir"),
                            QStringLiteral("version-text"), QStringLiteral("allow-older")};
    problem = parser.isSet(*o["reply-only"]) ? ignoredOptionProblem(parser, all, QStringLiteral("reply-only"), reply)
                                             : QString();
    return problem.isEmpty() ? publishMode(parser, o) : usageError(problem);
}
