#include "widgets/shelllist.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileIconProvider>
#include <QStyle>
#include <QFile>
#include <QHeaderView>
#include <QImageReader>
#include <QMenu>
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
  // Empty until a folder is set.
  listView_->setRootIndex(proxy_->mapFromSource(model_->index(QString())));
  treeView_->setRootIndex(QModelIndex());
  listView_->setEnabled(false);
  treeView_->setEnabled(false);

  stack_ = new QStackedWidget(this);
  stack_->addWidget(listView_);
  stack_->addWidget(treeView_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(stack_);
  SetViewStyle(vsReport);
}

ShellList::~ShellList() {
  // The views and the proxy go before the model, and the model (with its
  // gatherer thread) before the icon provider it uses.
  delete stack_;
  delete proxy_;
  delete model_;
}

void ShellList::SetFolder(const QString& folder) {
  folder_ = folder;
  const QModelIndex root = proxy_->mapFromSource(model_->setRootPath(folder));
  listView_->setRootIndex(root);
  treeView_->setRootIndex(root);
  listView_->setEnabled(true);
  treeView_->setEnabled(true);
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
  if (folder_.isEmpty()) return paths;
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
