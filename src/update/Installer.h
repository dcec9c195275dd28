// Installing a staged update over the installed tree.
#pragma once

#include <QString>

#include <atomic>

// What an unpacked update may hold at most.
struct UnpackLimits {
    qint64 bytes = qint64(1) << 30;
    int entries = 20000;
};

// Unpacks a staged archive into a new folder beside the bundle and swaps it into place. The
// archive may hold only regular files, folders and symbolic links that stay inside it, within
// the limits (sparse files count by their apparent size); setuid, setgid and world-write bits
// are dropped. Every member is resolved on disk beneath the new folder: a member whose path
// passes through a link that leads out is refused before anything is written there. The bundle must
// hold nothing but Ambrel's own files. Returns false, with one log line, when anything is wrong or
// `cancel` is set while it works; the old bundle is then as it was and nothing is left beside it.
// Runs on any thread.
bool installUpdate(const QString &archivePath, const QString &bundlePath,
                   const std::atomic_bool *cancel = nullptr, UnpackLimits limits = {});

// Whether the tree is Ambrel's alone, the only kind it updates itself: its bin/ holds nothing
// but ambrel. A shared prefix such as /usr is the package manager's.
bool isAmbrelsOwnTree(const QString &bundlePath);

// Removes what an install that was cut short (a crash, SIGKILL) left: the new folders beside
// the bundle (".<name>.new-*") and the downloads in the temporary folder ("ambrel-update-*"),
// those of this user only, with one log line each. Only while no other Ambrel of this user runs.
void removeUpdateLeftovers(const QString &bundlePath);
