#pragma once
// A file list of one folder with large-icon, small-icon, list and details
// views, and a thumbnail view (large icons with pictures of the files).
// Hidden files are not shown. Files can be opened, renamed, moved to the
// trash and dragged in and out.

#include <QFileSystemModel>
#include <QFileSystemWatcher>
#include <QHash>
#include <QIdentityProxyModel>
#include <QImage>
#include <QListView>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeView>
#include <functional>
#include <memory>

#include <QFileIconProvider>

namespace larkvale::widgets {

class ShellList : public QWidget {
  Q_OBJECT
 public:
  enum ViewStyle { vsIcon, vsSmallIcon, vsList, vsReport };

  explicit ShellList(QWidget* parent = nullptr);
  ~ShellList() override;

  // Empty until a folder is set, and while the folder set is not there
  // (false then; OnFolderMissing is told as well).
  bool SetFolder(const QString& folder);
  QString Folder() const { return folder_; }
  // The folder set is not there: given to SetFolder so, or removed while shown.
  std::function<void(const QString& folder)> OnFolderMissing;

  void SetViewStyle(ViewStyle style);
  ViewStyle Style() const { return style_; }
  void SetThumbnails(bool on);
  bool Thumbnails() const { return thumbnails_; }
  static constexpr int kThumbnailSize = 100;

  // Makes the picture of a file for the thumbnail view; a null image falls
  // back to the file's icon. Pictures are read by default; videos need the
  // video engine, which the owner plugs in here.
  using ThumbnailMaker = std::function<QImage(const QString& path)>;
  void SetThumbnailMaker(ThumbnailMaker maker);

  // Opening a file with its program; the owner decides how.
  std::function<void(const QString& path)> OnOpenFile;

  QAbstractItemView* CurrentView() const;
  QFileSystemModel* Model() const { return model_; }
  // Paths shown, once the folder has been read.
  QStringList ShownPaths() const;

 private:
  class ThumbnailProxy;
  void ShowContextMenu(QAbstractItemView* view, const QPoint& at);
  void OpenIndex(const QModelIndex& index);
  void ShowModel(QAbstractItemModel* model);
  void ShowNothing();
  void FitNameColumn();
  bool eventFilter(QObject* watched, QEvent* event) override;

  std::unique_ptr<QAbstractFileIconProvider> iconProvider_;  // must outlive the model: see the destructor
  QFileSystemModel* model_;
  ThumbnailProxy* proxy_;
  QAbstractItemModel* empty_;  // shown while there is no folder
  QTimer* fitName_;            // fits the Name column once the views have settled
  QFileSystemWatcher* watcher_;  // notices the folder's removal
  QStackedWidget* stack_;
  QListView* listView_;
  QTreeView* treeView_;
  QString folder_;
  ViewStyle style_ = vsReport;
  bool thumbnails_ = false;
};

}  // namespace larkvale::widgets
