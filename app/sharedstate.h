#pragma once
// The state the pages share, owned by the main window and passed by
// reference to the pages that use it. Long operations (transfers, saves)
// process window messages, so handlers of other pages run nested inside
// them: they meet only here, never through each other's widgets.

#include <QString>

#include "extract/siteaddresses.h"

namespace larkvale::queue {
class DownloadList;
}

namespace larkvale::app {

struct SharedState {
  // Working folders. AppDir and FlvDir/TempDir end in "/", VideoDir does not.
  QString appDir;
  QString videoDir;
  QString tempDir;  // scratch: the last fetched page
  QString flvDir;   // downloads
  // Keeps the queue runner from starting downloads; a running download
  // cuts itself at its next progress event once it is set.
  bool downloadsStopped = false;
  // The row the runner's pass is on (drawn blue); the list's size between passes.
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
