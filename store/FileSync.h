#pragma once

#include <QString>

namespace vx {

// Forces a file's data (and, with SyncFolder, the folder entries that name
// it) to stable storage. False with errorText set when it failed.
bool SyncFile(const QString &path, QString *errorText = nullptr);
bool SyncFolder(const QString &folder, QString *errorText = nullptr);

} // namespace vx
