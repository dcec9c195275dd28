#include "Installer.h"

#include "Files.h"
#include "Log.h"
#include "Paths.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

namespace {

// Runs tar without a shell; its output never goes further than the log line of a failure.
bool runTar(const QStringList &arguments, QByteArray *output, QString *error)
{
    QProcess tar;
    tar.setProgram(Platform::tarPath());
    tar.setArguments(arguments);
    tar.setStandardInputFile(QProcess::nullDevice());
    tar.start();
    const bool finished = tar.waitForStarted() && tar.waitForFinished(5 * 60 * 1000);
    if (!finished) {
        *error = QStringLiteral("tar did not run: ") + tar.errorString();
        tar.kill();
        tar.waitForFinished();
        return false;
    }
    if (tar.exitStatus() != QProcess::NormalExit || tar.exitCode() != 0) {
        const QByteArray said = tar.readAllStandardError().trimmed();
        *error = QStringLiteral("tar failed: ") +
                 QString::fromUtf8(said.left(said.indexOf('\n'))).left(300);
        return false;
    }
    if (output)
        *output = tar.readAllStandardOutput();
    return true;
}

// Files Ambrel owns carry its name somewhere in their path (bin/ambrel, share/ambrel/...,
// share/applications/ambrel.desktop). Swapping a prefix that holds anything else, such as
// ~/.local or /usr/local, would take other programs' files with it.
QString foreignFile(const QString &folder)
{
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir root(folder);
    while (it.hasNext()) {
        it.next();
        const QFileInfo file = it.fileInfo();
        if (file.isDir() && !file.isSymLink())
            continue;
        QString relative = root.relativeFilePath(file.filePath());
        const QStringList parts = relative.split(QLatin1Char('/'));
        if (std::none_of(parts.begin(), parts.end(), [](const QString &part) {
                return part.startsWith(QLatin1String("ambrel"));
            }))
            return relative;
    }
    return {};
}

bool isSafeMember(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = name.split(QLatin1Char('/'));
    return !parts.contains(QStringLiteral(".."));
}

QString escapingLink(const QString &folder)
{
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo file = it.fileInfo();
        if (!file.isSymLink())
            continue;
        const QString target = QDir::cleanPath(file.symLinkTarget());
        if (!target.startsWith(folder + QLatin1Char('/')))
            return QDir(folder).relativeFilePath(file.filePath());
    }
    return {};
}

} // namespace

bool installUpdate(const QString &archivePath, const QString &bundlePath)
{
    const auto fail = [](const QString &why) {
        Platform::logLine(QStringLiteral("update not installed: ") + why);
        return false;
    };
    const QString bundle = QDir::cleanPath(QFileInfo(bundlePath).absoluteFilePath());
    const QFileInfo bundleInfo(bundle);
    if (!bundleInfo.isDir() || bundleInfo.isSymLink())
        return fail(bundle + QStringLiteral(" is not a folder"));
    if (const QString foreign = foreignFile(bundle); !foreign.isEmpty())
        return fail(bundle + QStringLiteral(" holds files of other programs, such as ") + foreign);

    QByteArray listing;
    QString error;
    if (!runTar({QStringLiteral("--list"), QStringLiteral("--gzip"),
                 QStringLiteral("--absolute-names"), QStringLiteral("--file"), archivePath},
                &listing, &error))
        return fail(error);
    for (const QByteArray &line : listing.split('\n')) {
        const QString name = QString::fromUtf8(line);
        if (!line.isEmpty() && !isSafeMember(name))
            return fail(QStringLiteral("the archive names a file outside the bundle: ") + name);
    }

    // A new folder beside the bundle, so that the swap is a rename on one file system. Until
    // the swap it holds the new version; after it, the old one, removed with it.
    QTemporaryDir fresh(bundleInfo.absolutePath() + QStringLiteral("/.") + bundleInfo.fileName() +
                        QStringLiteral(".new-XXXXXX"));
    if (!fresh.isValid())
        return fail(QStringLiteral("cannot create a folder beside ") + bundle +
                    QStringLiteral(": ") + fresh.errorString());
    if (!runTar({QStringLiteral("--extract"), QStringLiteral("--gzip"),
                 QStringLiteral("--no-same-owner"), QStringLiteral("--file"), archivePath,
                 QStringLiteral("--directory"), fresh.path()},
                nullptr, &error))
        return fail(error);
    const QFileInfo program(fresh.filePath(QStringLiteral("bin/ambrel")));
    if (!program.isFile() || !program.isExecutable())
        return fail(QStringLiteral("the archive holds no executable bin/ambrel"));
    if (const QString link = escapingLink(fresh.path()); !link.isEmpty())
        return fail(QStringLiteral("the archive links outside the bundle: ") + link);
    if (const QString foreign = foreignFile(fresh.path()); !foreign.isEmpty())
        return fail(QStringLiteral("the archive holds a file that is not Ambrel's: ") + foreign);
    QFile::setPermissions(fresh.path(), QFile::permissions(bundle));

    if (Platform::exchangeFolders(fresh.path(), bundle))
        return true;
    // Without an atomic exchange, move the old bundle aside and put it back if the new one
    // cannot take its place.
    const QString aside = fresh.path() + QStringLiteral(".old");
    if (!QDir().rename(bundle, aside))
        return fail(QStringLiteral("cannot move ") + bundle + QStringLiteral(" aside"));
    if (!QDir().rename(fresh.path(), bundle)) {
        QDir().rename(aside, bundle);
        return fail(QStringLiteral("cannot move the new version into ") + bundle);
    }
    QDir(aside).removeRecursively();
    return true;
}
