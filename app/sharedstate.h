#pragma once
// The state the pages share, owned by the main window and passed by
// reference to the pages that use it. Long operations (transfers, saves)
// process window messages, so handlers of other pages run nested inside
// them: they meet only here, never through each other's widgets.

#include <QString>

#include "extract/siteaddresses.h"
#include "platform/workfolders.h"

namespace larkvale::queue {
class DownloadList;
}

namespace larkvale::app {

// The working folders' names, as the pages use them.
using platform::CleanScratchFolder;
using platform::CreateWorkFolders;
using platform::kAppName;
using platform::kSettingsKey;
using platform::kVideoDirValue;
using platform::SetUpWorkFolders;
using platform::StoreVideoDir;

// The working folders (appDir, videoDir, tempDir, flvDir) and what the pages
// share besides.
struct SharedState : platform::WorkFolders {
  // Keeps the queue runner from starting downloads; a running download
  // cuts itself at its next progress event once it is set.
  bool downloadsStopped = false;
  // The row the runner's pass is on (drawn blue); the list's size between
  // passes; -1 while a pass runs several rows at once (each drawn blue by
  // its state).
  int currentDownloadRow = 0;
  // Set while a conversion runs (at its start and on each progress event),
  // cleared when it ends; the preview ignores the engine's position while it
  // is set.
  bool converterBusy = false;
  // The queue of downloads, owned by the main window.
  queue::DownloadList* downloadList = nullptr;
  // Fixed addresses, read from the environment at start-up.
  extract::SiteAddresses sites;
};

}  // namespace larkvale::app
