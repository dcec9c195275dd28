// Folder operations the file system does in one step, and writes that stay inside a folder.
#pragma once

#include <QString>
#include <QStringList>

namespace Platform {

// Swaps the two folders in one step (renameat2 with RENAME_EXCHANGE). False where the file
// system cannot; nothing has changed then.
bool exchangeFolders(const QString &a, const QString &b);

// Removes the folders in `folder` whose names match the wildcard `pattern` and that belong to
// this user; never through a link. Returns those it removed.
QStringList removeOwnFolders(const QString &folder, const QString &pattern);

// Writes a tree into one folder and never outside it. Every path is resolved beneath the
// folder (openat2 with RESOLVE_BENEATH and RESOLVE_NO_MAGICLINKS), through links as well: a
// link made earlier, or by anyone, cannot lead a write or a mode change out. Paths are relative
// to the folder; missing folders on the way are made. Each call returns why it failed, empty on
// success.
class FolderWriter {
public:
    explicit FolderWriter(const QString &folder);
    ~FolderWriter();
    FolderWriter(const FolderWriter &) = delete;
    FolderWriter &operator=(const FolderWriter &) = delete;

    // Why the folder cannot be written at all.
    QString error() const { return m_error; }

    QString makeFolder(const QString &path, uint mode);
    // A new file with the mode; its descriptor, open for writing and the caller's to close, in
    // `fd` (-1 on failure).
    QString makeFile(const QString &path, uint mode, int *fd);
    QString makeLink(const QString &path, const QString &target);
    // The first link in the tree that leads outside the folder; empty when none does.
    QString linkLeadingOut() const;

private:
    int openFolder(const QByteArray &path) const;

    QString m_path;
    int m_root = -1;
    QString m_error;
};

} // namespace Platform
