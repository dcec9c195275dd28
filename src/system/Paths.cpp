#include "Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace Platform {

QString lsofLaunchPath()
{
    static const QString sbin = QStringLiteral("/usr/sbin/lsof");
    return QFileInfo(sbin).isExecutable() ? sbin : QStringLiteral("/usr/bin/lsof");
}

QString shellPath()
{
    return QStringLiteral("/bin/bash");
}

QString tarPath()
{
    return QStringLiteral("/bin/tar");
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
