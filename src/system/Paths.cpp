#include "Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace Platform {

QString lsofLaunchPath()
{
    static const QString sbin = QStringLiteral("/usr/sbin/lsof");
    return QFileInfo(sbin).isExecutable() ? sbin : QStringLiteral("/usr/bin/lsof");
}

QString privateFolder(QString *why)
{
    const auto problem = [](const QString &path) -> QString {
        const QFileInfo folder(path);
        if (!folder.isAbsolute() || !folder.isDir() || folder.isSymLink())
            return QStringLiteral("it is not a folder");
        if (folder.ownerId() != ::getuid())
            return QStringLiteral("it belongs to another user");
        const auto others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                            QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
        if (folder.permissions() & others)
            return QStringLiteral("others may enter it");
        return {};
    };
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && problem(runtime).isEmpty())
        return runtime;
    QString fallback = QStringLiteral("/tmp/ambrel-%1").arg(::getuid());
    QDir().mkdir(fallback, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (const QString refused = problem(fallback); !refused.isEmpty()) {
        *why = fallback + QStringLiteral(" cannot be used: ") + refused;
        return {};
    }
    return fallback;
}

QUrl resourceURL()
{
    // Installed as <prefix>/bin/ambrel beside <prefix>/share/ambrel.
    const QDir bin(QCoreApplication::applicationDirPath());
    const QString resources = bin.absoluteFilePath(QStringLiteral("../share/ambrel"));
    if (!QFileInfo(resources).isDir())
        return {};
    return QUrl::fromLocalFile(QDir::cleanPath(resources) + QLatin1Char('/'));
}

} // namespace Platform
