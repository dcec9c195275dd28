#include "Files.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace Platform {

bool exchangeFolders(const QString &a, const QString &b)
{
#ifdef RENAME_EXCHANGE
    return ::renameat2(AT_FDCWD, QFile::encodeName(a).constData(), AT_FDCWD,
                       QFile::encodeName(b).constData(), RENAME_EXCHANGE) == 0;
#else
    Q_UNUSED(a);
    Q_UNUSED(b);
    errno = ENOSYS;
    return false;
#endif
}

QStringList removeOwnFolders(const QString &folder, const QString &pattern)
{
    QStringList removed;
    const QFileInfoList found = QDir(folder).entryInfoList(
        {pattern}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QFileInfo &leftover : found) {
        if (leftover.ownerId() == ::getuid() && QDir(leftover.filePath()).removeRecursively())
            removed.append(leftover.filePath());
    }
    return removed;
}

namespace {

int openBeneath(int root, const QByteArray &path, int flags, mode_t mode = 0)
{
    open_how how{};
    how.flags = quint64(flags | O_CLOEXEC);
    how.mode = mode;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd = -1;
    // EAGAIN: a rename elsewhere raced the lookup.
    for (int tries = 0; tries < 10 && fd < 0; ++tries) {
        fd = int(::syscall(SYS_openat2, root, path.isEmpty() ? "." : path.constData(), &how,
                           sizeof how));
        if (fd < 0 && errno != EAGAIN)
            break;
    }
    return fd;
}

QString reason(int error)
{
    if (error == EXDEV)
        return QStringLiteral("a link leads it outside the folder");
    if (error == ENOSYS)
        return QStringLiteral("this kernel cannot keep writes inside a folder (openat2 needs "
                              "Linux 5.6 or later)");
    return QString::fromLocal8Bit(std::strerror(error));
}

std::pair<QByteArray, QByteArray> split(const QString &path)
{
    const QByteArray bytes = QFile::encodeName(path);
    const qsizetype slash = bytes.lastIndexOf('/');
    return {slash < 0 ? QByteArray() : bytes.left(slash), bytes.mid(slash + 1)};
}

} // namespace

FolderWriter::FolderWriter(const QString &folder) : m_path(folder)
{
    m_root = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_root < 0)
        m_error = folder + QStringLiteral(": ") + reason(errno);
    else if (const int probe = openBeneath(m_root, {}, O_PATH); probe < 0)
        m_error = reason(errno);
    else
        ::close(probe);
}

FolderWriter::~FolderWriter()
{
    if (m_root >= 0)
        ::close(m_root);
}

int FolderWriter::openFolder(const QByteArray &path) const
{
    const int fd = openBeneath(m_root, path, O_RDONLY | O_DIRECTORY);
    if (fd >= 0 || errno != ENOENT || path.isEmpty())
        return fd;
    const qsizetype slash = path.lastIndexOf('/');
    const int parent = openFolder(slash < 0 ? QByteArray() : path.left(slash));
    if (parent < 0)
        return -1;
    const int made = ::mkdirat(parent, path.mid(slash + 1).constData(), 0755);
    const int error = errno;
    ::close(parent);
    if (made != 0 && error != EEXIST) {
        errno = error;
        return -1;
    }
    return openBeneath(m_root, path, O_RDONLY | O_DIRECTORY);
}

QString FolderWriter::makeFolder(const QString &path, uint mode)
{
    const int fd = openFolder(QFile::encodeName(path));
    if (fd < 0)
        return reason(errno);
    const bool changed = ::fchmod(fd, mode) == 0;
    const int error = errno;
    ::close(fd);
    return changed ? QString() : reason(error);
}

QString FolderWriter::makeFile(const QString &path, uint mode, int *fd)
{
    const auto [folder, name] = split(path);
    const int parent = openFolder(folder);
    if (parent < 0)
        return reason(errno);
    ::close(parent);
    // O_EXCL: never through a link at the file's own place either.
    *fd = openBeneath(m_root, QFile::encodeName(path), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (*fd < 0)
        return reason(errno);
    if (::fchmod(*fd, mode) == 0)
        return {};
    const int error = errno;
    ::close(std::exchange(*fd, -1));
    return reason(error);
}

QString FolderWriter::makeLink(const QString &path, const QString &target)
{
    const auto [folder, name] = split(path);
    const int parent = openFolder(folder);
    if (parent < 0)
        return reason(errno);
    const bool made =
        ::symlinkat(QFile::encodeName(target).constData(), parent, name.constData()) == 0;
    const int error = errno;
    ::close(parent);
    return made ? QString() : reason(error);
}

QString FolderWriter::linkLeadingOut() const
{
    const QDir root(m_path);
    QDirIterator it(m_path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.fileInfo().isSymLink())
            continue;
        QString path = root.relativeFilePath(it.filePath());
        const int fd = openBeneath(m_root, QFile::encodeName(path), O_PATH);
        if (fd >= 0)
            ::close(fd);
        else if (errno != ENOENT)
            return path;
    }
    return {};
}

} // namespace Platform
