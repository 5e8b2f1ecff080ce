#pragma once
// The few file-system operations the program needs, on byte paths.

#include <QString>
#include <QStringList>

namespace larkvale::platform {

bool DirectoryExists(const QString& path);
bool FileExists(const QString& path);  // a file (not a folder) of that path exists

// Creates the folder as one level when no folder of that exact path exists;
// its parent must exist. Throws EInOutError on failure.
void CreateDirIfMissing(const QString& path);

// Names of the plain, non-hidden files directly in `folder` (no folders, no
// dot files), in no particular order. Empty when the folder cannot be read.
QStringList ListPlainFiles(const QString& folder);

// Deletes a file; false when it could not be deleted.
bool DeleteFile(const QString& path);

}  // namespace larkvale::platform
