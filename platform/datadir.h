#pragma once
// Where the program's data files (help, engine profiles, images) are: next
// to the executable in the build tree, or under the install prefix
// (<prefix>/share/larkvale_hd) once installed.

#include <QString>

namespace larkvale::platform {

// The file whose presence marks a folder as the data folder.
inline constexpr char kDataMarkerFile[] = "LarkvaleHelp.html";

// The data folder, followed by "/". Tries, in order: `exeDir` itself (the
// build tree), `exeDir`/`relativeDataDir` (an installed tree, wherever it
// was moved or staged), then `absoluteDataDir` (the configured prefix). When
// none holds the marker file, `exeDir`, so a broken install fails the way it
// always did: on the missing file, with its name.
QString FindDataDir(const QString& exeDir, const QString& relativeDataDir, const QString& absoluteDataDir);

// The same for the running executable and the prefix this build installs to.
QString ProgramDataDir();

}  // namespace larkvale::platform
