// Folder operations the file system does in one step.
#pragma once

#include <QString>

namespace Platform {

// Swaps the two folders in one step (renameat2 with RENAME_EXCHANGE). False where the file
// system cannot; nothing has changed then.
bool exchangeFolders(const QString &a, const QString &b);

} // namespace Platform
