#include "widgets/shelllist.h"

#include <algorithm>

#include <QApplication>
#include <QEvent>
#include <QDesktopServices>
#include <QFileIconProvider>
#include <QStyle>
#include <QFile>
#include <QFileSystemWatcher>
#include <QHeaderView>
#include <QImageReader>
#include <QMenu>
#include <QStandardItemModel>
#include <QUrl>
#include <QVBoxLayout>

namespace larkvale::widgets {

namespace {

// The desktop's icon theme where there is one, the style's own icons where not.
class FallbackIconProvider : public QFileIconProvider {
 public:
  QIcon icon(const QFileInfo& info) const override {
    QIcon themed = QFileIconProvider::icon(info);
    if (!themed.isNull() && !themed.availableSizes().isEmpty()) return themed;
    return QApplication::style()->standardIcon(info.isDir() ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
  }
  QIcon icon(IconType type) const override {
    QIcon themed = QFileIconProvider::icon(type);
    if (!themed.isNull() && !themed.availableSizes().isEmpty()) return themed;
    return QApplication::style()->standardIcon(type == Folder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
  }
};

}  // namespace

// Puts thumbnails in place of the icons while the thumbnail view is on. They
// are made on first display and kept until the file changes.
class ShellList::ThumbnailProxy : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;
  bool enabled = false;
  ThumbnailMaker maker;

  QVariant data(const QModelIndex& index, int role) const override {
    if (enabled && role == Qt::DecorationRole && index.column() == 0) {
      const auto* fs = static_cast<QFileSystemModel*>(sourceModel());
      const QFileInfo info = fs->fileInfo(mapToSource(index));
      if (info.isFile()) {
        const QString key = info.absoluteFilePath() + '|' + QString::number(info.lastModified().toMSecsSinceEpoch());
        auto it = cache_.find(key);
        if (it == cache_.end()) it = cache_.insert(key, Make(info.absoluteFilePath()));
        if (!it->isNull()) return *it;
      }
    }
    return QIdentityProxyModel::data(index, role);
  }

 private:
  QPixmap Make(const QString& path) const {
    QImage image;
    QImageReader reader(path);
    if (reader.canRead()) {
      const QSize size = reader.size();
      if (size.isValid()) reader.setScaledSize(size.scaled(kThumbnailSize, kThumbnailSize, Qt::KeepAspectRatio));
      image = reader.read();
    }
    if (image.isNull() && maker) image = maker(path);
    if (image.isNull()) return {};
    return QPixmap::fromImage(image.scaled(kThumbnailSize, kThumbnailSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  mutable QHash<QString, QPixmap> cache_;
};

ShellList::ShellList(QWidget* parent) : QWidget(parent) {
  model_ = new QFileSystemModel(this);
  iconProvider_ = std::make_unique<FallbackIconProvider>();
  model_->setIconProvider(iconProvider_.get());
  model_->setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::AllDirs);  // no hidden files
  model_->setNameFilters({QStringLiteral("*")});
  model_->setReadOnly(false);  // renaming and dropping
  proxy_ = new ThumbnailProxy(this);
  proxy_->setSourceModel(model_);

  listView_ = new QListView(this);
  listView_->setObjectName(QStringLiteral("ShellListIcons"));
  treeView_ = new QTreeView(this);
  treeView_->setObjectName(QStringLiteral("ShellListDetails"));
  treeView_->setRootIsDecorated(false);
  treeView_->setItemsExpandable(false);
  treeView_->setSortingEnabled(true);
  treeView_->sortByColumn(0, Qt::AscendingOrder);
  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(listView_), static_cast<QAbstractItemView*>(treeView_)}) {
    view->setModel(proxy_);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    view->setDragEnabled(true);
    view->setAcceptDrops(true);
    view->setDropIndicatorShown(true);
    view->setDragDropMode(QAbstractItemView::DragDrop);
    view->setDefaultDropAction(Qt::MoveAction);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    view->setAccessibleName(tr("Files"));
    connect(view, &QAbstractItemView::activated, this, &ShellList::OpenIndex);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& at) { ShowContextMenu(view, at); });
  }
  // The same columns as the file system model, no rows: what is shown while
  // there is no folder (the file system model would show the root "/").
  auto* empty = new QStandardItemModel(0, model_->columnCount(), this);
  for (int c = 0; c < model_->columnCount(); ++c)
    empty->setHeaderData(c, Qt::Horizontal, model_->headerData(c, Qt::Horizontal));
  empty_ = empty;

  // Names are what the user reads: the Name column is as wide as its longest
  // name and takes whatever width the other columns leave.
  fitName_ = new QTimer(this);
  fitName_->setSingleShot(true);
  fitName_->setInterval(0);
  connect(fitName_, &QTimer::timeout, this, &ShellList::FitNameColumn);
  treeView_->viewport()->installEventFilter(this);
  connect(model_, &QFileSystemModel::directoryLoaded, fitName_, qOverload<>(&QTimer::start));
  connect(proxy_, &QAbstractItemModel::rowsInserted, fitName_, qOverload<>(&QTimer::start));
  connect(proxy_, &QAbstractItemModel::dataChanged, fitName_, qOverload<>(&QTimer::start));
  // The file system model keeps showing a folder that was removed under it.
  watcher_ = new QFileSystemWatcher(this);
  connect(watcher_, &QFileSystemWatcher::directoryChanged, this, [this](const QString& path) {
    if (path != folder_ || QFileInfo(folder_).isDir()) return;
    ShowNothing();
    if (OnFolderMissing) OnFolderMissing(folder_);
  });

  stack_ = new QStackedWidget(this);
  stack_->addWidget(listView_);
  stack_->addWidget(treeView_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(stack_);
  ShowNothing();
  listView_->setEnabled(false);
  treeView_->setEnabled(false);
  SetViewStyle(vsReport);
}

ShellList::~ShellList() {
  // The views and the proxy go before the model, and the model (with its
  // gatherer thread) before the icon provider it uses.
  delete stack_;
  delete proxy_;
  delete model_;
}

bool ShellList::SetFolder(const QString& folder) {
  folder_ = folder;
  listView_->setEnabled(true);
  treeView_->setEnabled(true);
  if (!QFileInfo(folder).isDir()) {
    ShowNothing();
    if (OnFolderMissing) OnFolderMissing(folder);
    return false;
  }
  ShowModel(proxy_);
  if (!watcher_->directories().isEmpty()) watcher_->removePaths(watcher_->directories());
  watcher_->addPath(folder);
  const QModelIndex root = proxy_->mapFromSource(model_->setRootPath(folder));
  listView_->setRootIndex(root);
  treeView_->setRootIndex(root);
  fitName_->start();
  return true;
}

void ShellList::ShowNothing() {
  ShowModel(empty_);
  listView_->setRootIndex(QModelIndex());
  treeView_->setRootIndex(QModelIndex());
  fitName_->start();
}

void ShellList::ShowModel(QAbstractItemModel* model) {
  if (treeView_->model() == model) return;
  listView_->setModel(model);
  treeView_->setModel(model);
  // A new model brings new header sections with default modes.
  QHeaderView* header = treeView_->header();
  header->setStretchLastSection(false);
  header->setSectionResizeMode(QHeaderView::ResizeToContents);
  header->setSectionResizeMode(0, QHeaderView::Interactive);
}

void ShellList::FitNameColumn() {
  QHeaderView* header = treeView_->header();
  if (header->count() == 0) return;
  int others = 0;
  for (int c = 1; c < header->count(); ++c)
    if (!header->isSectionHidden(c)) others += header->sectionSize(c);
  const int spare = treeView_->viewport()->width() - others;
  const QAbstractItemView* view = treeView_;  // QTreeView hides the hint it overrides
  header->resizeSection(0, std::max({view->sizeHintForColumn(0), header->sectionSizeHint(0), spare}));
}

bool ShellList::eventFilter(QObject* watched, QEvent* event) {
  if (watched == treeView_->viewport() && event->type() == QEvent::Resize) fitName_->start();
  return QWidget::eventFilter(watched, event);
}

void ShellList::SetViewStyle(ViewStyle style) {
  style_ = style;
  switch (style) {
    case vsIcon:
      listView_->setViewMode(QListView::IconMode);
      listView_->setIconSize(QSize(thumbnails_ ? kThumbnailSize : 48, thumbnails_ ? kThumbnailSize : 48));
      listView_->setGridSize(thumbnails_ ? QSize(kThumbnailSize + 30, kThumbnailSize + 40) : QSize(96, 80));
      listView_->setWordWrap(true);
      break;
    case vsSmallIcon:
      listView_->setViewMode(QListView::IconMode);
      listView_->setIconSize(QSize(16, 16));
      listView_->setGridSize(QSize(150, 24));
      listView_->setWordWrap(false);
      break;
    case vsList:
      listView_->setViewMode(QListView::ListMode);
      listView_->setFlow(QListView::TopToBottom);
      listView_->setWrapping(true);
      listView_->setIconSize(QSize(16, 16));
      listView_->setGridSize(QSize());
      break;
    case vsReport:
      break;
  }
  if (style != vsList) listView_->setFlow(QListView::LeftToRight), listView_->setWrapping(true);
  listView_->setResizeMode(QListView::Adjust);
  listView_->setMovement(QListView::Static);
  stack_->setCurrentWidget(style == vsReport ? static_cast<QWidget*>(treeView_) : listView_);
}

void ShellList::SetThumbnails(bool on) {
  thumbnails_ = on;
  proxy_->enabled = on;
  if (on) SetViewStyle(vsIcon);
  listView_->viewport()->update();
  treeView_->viewport()->update();
}

void ShellList::SetThumbnailMaker(ThumbnailMaker maker) { proxy_->maker = std::move(maker); }

QAbstractItemView* ShellList::CurrentView() const {
  return style_ == vsReport ? static_cast<QAbstractItemView*>(treeView_) : listView_;
}

QStringList ShellList::ShownPaths() const {
  QStringList paths;
  if (folder_.isEmpty() || treeView_->model() != proxy_) return paths;
  const QModelIndex root = model_->index(folder_);
  for (int r = 0; r < model_->rowCount(root); ++r) paths << model_->filePath(model_->index(r, 0, root));
  return paths;
}

void ShellList::OpenIndex(const QModelIndex& index) {
  const QFileInfo info = model_->fileInfo(proxy_->mapToSource(index));
  if (info.isDir()) {
    SetFolder(info.absoluteFilePath());
    return;
  }
  if (OnOpenFile)
    OnOpenFile(info.absoluteFilePath());
  else
    QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath()));
}

void ShellList::ShowContextMenu(QAbstractItemView* view, const QPoint& at) {
  const QModelIndex index = view->indexAt(at);
  if (!index.isValid()) return;
  QMenu menu(this);
  menu.addAction(tr("Open"), this, [this, index] { OpenIndex(index); });
  menu.addAction(tr("Rename"), this, [view, index] { view->edit(index); });
  menu.addSeparator();
  menu.addAction(tr("Move to Trash"), this, [this, view] {
    for (const QModelIndex& i : view->selectionModel()->selectedRows()) {
      const QString path = model_->filePath(proxy_->mapToSource(i));
      QFile::moveToTrash(path);
    }
  });
  menu.exec(view->viewport()->mapToGlobal(at));
}

}  // namespace larkvale::widgets
