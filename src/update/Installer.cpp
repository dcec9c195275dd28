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
QFileDevice::Permissions permissions(mode_t mode, bool folder)
{
    mode = (mode & 0755) | 0600 | (folder ? 0100 : 0);
    // Qt keeps three bits a hex digit: owner, user (the same here), group, others.
    const auto owner = int((mode >> 6) & 7);
    return QFileDevice::Permissions::fromInt((owner << 12) | (owner << 8) |
                                             (int((mode >> 3) & 7) << 4) | int(mode & 7));
}

// A member name as a path below the folder: relative, with no ".." part.
std::optional<QString> memberPath(const QString &folder, const QString &name)
{
    if (name.isEmpty() || name.startsWith(u'/') || name.split(u'/').contains(QStringLiteral("..")))
        return std::nullopt;
    return QDir::cleanPath(folder + u'/' + name);
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
    qint64 bytes = 0;
    int entries = 0;
    archive_entry *entry = nullptr;
    for (int r; (r = archive_read_next_header(a, &entry)) != ARCHIVE_EOF;) {
        if (r != ARCHIVE_OK)
            return damaged();
        if (cancel && *cancel)
            return QStringLiteral("Ambrel is quitting");
        if (++entries > limits.entries)
            return QStringLiteral("the archive holds more than %1 entries").arg(limits.entries);
        const QString name = QString::fromUtf8(archive_entry_pathname(entry));
        const std::optional<QString> path = memberPath(folder, name);
        if (!path)
            return QStringLiteral("the archive names a file outside the bundle: ") + name;
        if (*path == folder)
            continue; // "./"
        QDir().mkpath(QFileInfo(*path).path());
        const mode_t mode = archive_entry_perm(entry);
        if (archive_entry_hardlink(entry))
            return QStringLiteral("the archive holds a hard link: ") + name;
        switch (archive_entry_filetype(entry)) {
        case AE_IFDIR:
            if (!QDir().mkpath(*path) || !QFile::setPermissions(*path, permissions(mode, true)))
                return QStringLiteral("cannot create the folder ") + name;
            break;
        case AE_IFLNK: {
            const QString target = QString::fromUtf8(archive_entry_symlink(entry));
            const QString resolved = QDir::cleanPath(QFileInfo(*path).path() + u'/' + target);
            if (target.startsWith(u'/') || !resolved.startsWith(folder + u'/'))
                return QStringLiteral("the archive links outside the bundle: ") + name;
            if (!QFile::link(target, *path))
                return QStringLiteral("cannot create the link ") + name;
            break;
        }
        case AE_IFREG: {
            QFile file(*path);
            if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
                return QStringLiteral("cannot write ") + name + QStringLiteral(": ") +
                       file.errorString();
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            while ((r = archive_read_data_block(a, &block, &size, &offset)) == ARCHIVE_OK) {
                bytes += qint64(size);
                if (bytes > limits.bytes)
                    return QStringLiteral("the archive unpacks to more than %1 bytes")
                        .arg(limits.bytes);
                if (cancel && *cancel)
                    return QStringLiteral("Ambrel is quitting");
                if (!file.seek(offset) ||
                    file.write(static_cast<const char *>(block), qint64(size)) != qint64(size))
                    return QStringLiteral("cannot write ") + name;
            }
            if (r != ARCHIVE_EOF)
                return damaged();
            file.close();
            if (!QFile::setPermissions(*path, permissions(mode, false)))
                return QStringLiteral("cannot set the permissions of ") + name;
            break;
        }
        default:
            return QStringLiteral("the archive holds a device, FIFO or socket: ") + name;
        }
    }
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
