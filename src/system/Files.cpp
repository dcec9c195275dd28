#include "Files.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

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

} // namespace Platform
