#include "Installer.h"

#include "Files.h"
#include "Log.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <sys/stat.h>

namespace {

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
        const QStringList parts = relative.split(u'/');
        if (std::none_of(parts.begin(), parts.end(), [](const QString &part) {
                return part.startsWith(QLatin1String("ambrel"));
            }))
            return relative;
    }
    return {};
}

// The mode bits an unpacked file keeps: no setuid, setgid or sticky bit, nothing that others
// may write; the owner may always read and write, folders may be entered.
uint keptMode(mode_t mode, bool folder)
{
    return (mode & 0755) | 0600 | (folder ? 0100 : 0);
}

// A member name as a path relative to the bundle, with no ".." part; empty for the bundle.
std::optional<QString> memberPath(const QString &name)
{
    if (name.isEmpty() || name.startsWith(u'/') || name.split(u'/').contains(QStringLiteral("..")))
        return std::nullopt;
    const QString path = QDir::cleanPath(name);
    return path == QLatin1String(".") ? QString() : path;
}

QString unpack(const QString &archivePath, const QString &folder, const std::atomic_bool *cancel,
               UnpackLimits limits)
{
    const std::unique_ptr<archive, int (*)(archive *)> reader(archive_read_new(),
                                                              archive_read_free);
    archive *a = reader.get();
    archive_read_support_filter_gzip(a);
    archive_read_support_format_tar(a);
    const auto damaged = [a] {
        return QStringLiteral("the archive is damaged: ") +
               QString::fromUtf8(archive_error_string(a));
    };
    if (archive_read_open_filename(a, QFile::encodeName(archivePath).constData(), 1 << 16) !=
        ARCHIVE_OK)
        return damaged();
    // Every member is written through this, so that no link, not even one the archive made
    // through another, leads a write or a mode change out of the bundle.
    Platform::FolderWriter tree(folder);
    if (!tree.error().isEmpty())
        return QStringLiteral("cannot unpack: ") + tree.error();
    const auto quitting = [] {
        return QStringLiteral("Ambrel is quitting");
    };
    qint64 bytes = 0;
    int entries = 0;
    archive_entry *entry = nullptr;
    for (int r; (r = archive_read_next_header(a, &entry)) != ARCHIVE_EOF;) {
        if (r != ARCHIVE_OK)
            return damaged();
        if (cancel && *cancel)
            return quitting();
        if (++entries > limits.entries)
            return QStringLiteral("the archive holds more than %1 entries").arg(limits.entries);
        const QString name = QString::fromUtf8(archive_entry_pathname(entry));
        const std::optional<QString> path = memberPath(name);
        if (!path)
            return QStringLiteral("the archive names a file outside the bundle: ") + name;
        if (path->isEmpty())
            continue; // "./"
        if (archive_entry_hardlink(entry))
            return QStringLiteral("the archive holds a hard link: ") + name;
        const mode_t mode = archive_entry_perm(entry);
        QString why;
        switch (archive_entry_filetype(entry)) {
        case AE_IFDIR:
            why = tree.makeFolder(*path, keptMode(mode, true));
            break;
        case AE_IFLNK:
            why = tree.makeLink(*path, QString::fromUtf8(archive_entry_symlink(entry)));
            break;
        case AE_IFREG: {
            // By its apparent size: the holes of a sparse member cost nothing here, but they
            // are bytes to whoever reads the file.
            const qint64 size = archive_entry_size(entry);
            if (size < 0 || (bytes += size) > limits.bytes)
                return QStringLiteral("the archive unpacks to more than %1 bytes")
                    .arg(limits.bytes);
            int fd = -1;
            why = tree.makeFile(*path, keptMode(mode, false), &fd);
            if (!why.isEmpty())
                break;
            QFile file;
            file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
            const void *block = nullptr;
            size_t n = 0;
            la_int64_t offset = 0;
            while ((r = archive_read_data_block(a, &block, &n, &offset)) == ARCHIVE_OK) {
                if (cancel && *cancel)
                    return quitting();
                if (offset + qint64(n) > size || !file.seek(offset) ||
                    file.write(static_cast<const char *>(block), qint64(n)) != qint64(n))
                    return QStringLiteral("cannot write ") + name;
            }
            if (r != ARCHIVE_EOF)
                return damaged();
            if (!file.resize(size)) // a hole at its end
                return QStringLiteral("cannot write ") + name;
            break;
        }
        default:
            return QStringLiteral("the archive holds a device, FIFO or socket: ") + name;
        }
        if (!why.isEmpty())
            return QStringLiteral("cannot unpack ") + name + QStringLiteral(": ") + why;
    }
    if (const QString out = tree.linkLeadingOut(); !out.isEmpty())
        return QStringLiteral("the archive links outside the bundle: ") + out;
    return {};
}

} // namespace

bool isAmbrelsOwnTree(const QString &bundlePath)
{
    return QDir(bundlePath + QStringLiteral("/bin"))
               .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System) ==
           QStringList{QStringLiteral("ambrel")};
}

bool installUpdate(const QString &archivePath, const QString &bundlePath,
                   const std::atomic_bool *cancel, UnpackLimits limits)
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

    // A new folder beside the bundle, so that the swap is a rename on one file system. Until
    // the swap it holds the new version; after it, the old one, removed with it.
    QTemporaryDir fresh(bundleInfo.absolutePath() + QStringLiteral("/.") + bundleInfo.fileName() +
                        QStringLiteral(".new-XXXXXX"));
    if (!fresh.isValid())
        return fail(QStringLiteral("cannot create a folder beside ") + bundle +
                    QStringLiteral(": ") + fresh.errorString());
    if (const QString why = unpack(archivePath, fresh.path(), cancel, limits); !why.isEmpty())
        return fail(why);
    const QFileInfo program(fresh.filePath(QStringLiteral("bin/ambrel")));
    if (!program.isFile() || !program.isExecutable())
        return fail(QStringLiteral("the archive holds no executable bin/ambrel"));
    if (const QString foreign = foreignFile(fresh.path()); !foreign.isEmpty())
        return fail(QStringLiteral("the archive holds a file that is not Ambrel's: ") + foreign);
    QFile::setPermissions(fresh.path(), QFile::permissions(bundle));
    if (cancel && *cancel)
        return fail(QStringLiteral("Ambrel is quitting"));

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

void removeUpdateLeftovers(const QString &bundlePath)
{
    QStringList removed;
    if (!bundlePath.isEmpty()) {
        const QFileInfo bundle(QDir::cleanPath(QFileInfo(bundlePath).absoluteFilePath()));
        removed = Platform::removeOwnFolders(bundle.absolutePath(), QStringLiteral(".") +
                                                                        bundle.fileName() +
                                                                        QStringLiteral(".new-*"));
    }
    removed += Platform::removeOwnFolders(QDir::tempPath(), QStringLiteral("ambrel-update-*"));
    for (const QString &folder : removed)
        Platform::logLine(QStringLiteral("removed what an interrupted update left: ") + folder);
}
