#pragma once
// The Explorer page: the download folder as a shell file list, with its five
// view modes and the way back to the converter.

#include <QWidget>

#include "platform/services.h"

namespace larkvale::widgets {
class ShellList;
}

namespace larkvale::app {

class ExplorerPage : public QWidget {
  Q_OBJECT

 public:
  explicit ExplorerPage(const platform::Services& services, QWidget* parent = nullptr);

  // A folder that is not there shows an empty view, and the reason goes out
  // through `statusMessage`.
  void showFolder(const QString& folder);
  void showLargeIcons();
  void showSmallIcons();
  void showList();
  void showDetails();
  void showThumbnails();  // large icons, videos by their first frame

 signals:
  void backRequested();  // "<- Back": the converter
  void statusMessage(const QString& text);  // for the window's status line

 private:
  const platform::Services& services_;
  widgets::ShellList* files_ = nullptr;
};

}  // namespace larkvale::app
