#pragma once
// What the main window needs of the desktop, passed in: the real seams in
// the program, scripted ones in tests.

#include <QString>

namespace larkvale::platform {

class Dialogs;
class Clipboard;
class Shell;
class Help;

struct Environment {
  QString homeDir;     // root of the default working folders
  QString configHome;  // where the settings file lives
  QString dataHome;    // where the download list and the Timeline are kept
  QString appDir;      // the data folder (datadir.h) followed by "/"

  // $HOME, $XDG_CONFIG_HOME (default ~/.config), $XDG_DATA_HOME (default
  // ~/.local/share) and the data folder found from the running executable.
  static Environment FromProcess();
};

// Not owned; each must outlive the window.
struct Services {
  Dialogs* dialogs = nullptr;
  Clipboard* clipboard = nullptr;
  Shell* shell = nullptr;
  Help* help = nullptr;
  Environment environment;
};

}  // namespace larkvale::platform
