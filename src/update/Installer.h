// Installing a staged update over the installed tree.
#pragma once

#include <QString>

// Unpacks a staged archive into a new folder beside the bundle and swaps it into place. The
// bundle must hold nothing but Ambrel's own files. Returns false, with one log line, when
// anything is wrong; the old bundle is then left as it was.
bool installUpdate(const QString &archivePath, const QString &bundlePath);
