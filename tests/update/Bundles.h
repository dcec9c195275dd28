// Installed trees and update archives made in temporary folders.
#pragma once

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>

inline bool writeFile(const QString &path, const QByteArray &text, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return false;
    return !executable || file.setPermissions(file.permissions() | QFile::ExeOwner);
}

// A tree whose bin/ambrel, once started, leaves its version in share/ambrel/started.
inline bool makeBundle(const QString &dir, const QByteArray &version)
{
    return writeFile(dir + QStringLiteral("/share/ambrel/version"), version) &&
           writeFile(dir + QStringLiteral("/bin/ambrel"),
                     "#!/bin/sh\necho " + version +
                         " > \"$(dirname \"$0\")/../share/ambrel/started\"\n",
                     true);
}

inline bool runTar(const QStringList &arguments)
{
    QProcess tar;
    tar.start(QStringLiteral("/bin/tar"), arguments);
    return tar.waitForFinished() && tar.exitStatus() == QProcess::NormalExit && tar.exitCode() == 0;
}

// Every file and link under dir with its contents or target.
inline QMap<QString, QByteArray> snapshot(const QString &dir)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QFile file(info.filePath());
        tree[QDir(dir).relativeFilePath(info.filePath())] =
            info.isSymLink() ? "-> " + info.symLinkTarget().toUtf8()
            : info.isDir()   ? QByteArray("dir")
                             : (file.open(QIODevice::ReadOnly) ? file.readAll() : "?");
    }
    return tree;
}
