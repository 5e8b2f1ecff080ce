#include "app/explorerpage.h"

#include <QDir>
#include <QHBoxLayout>
#include <QUrl>
#include <QVBoxLayout>

#include "app/pagewidgets.h"
#include "engine/videoengine.h"
#include "platform/shell.h"
#include "widgets/shelllist.h"

namespace larkvale::app {

ExplorerPage::ExplorerPage(const platform::Services& services, QWidget* parent) : QWidget(parent), services_(services) {
  setObjectName(QStringLiteral("mxTaskPanePageExplorer"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  files_ = new widgets::ShellList(this);
  files_->setObjectName(QStringLiteral("ShellList"));
  files_->OnOpenFile = [this](const QString& path) { services_.shell->Open(QUrl::fromLocalFile(path)); };
  files_->OnFolderMissing = [this](const QString& folder) {
    emit statusMessage(tr("Folder not found: %1").arg(QDir::toNativeSeparators(folder)));
  };
  // Pictures of videos for the thumbnail view: their first frame.
  files_->SetThumbnailMaker([](const QString& path) {
    const int side = widgets::ShellList::kThumbnailSize;
    return engine::TVideoEngine::GetFileThumbnail(path, QSize(side, side));
  });
  column->addWidget(files_, 1);

  QWidget* bottom = Strip(this, 52);
  auto* row = new QHBoxLayout(bottom);
  row->setContentsMargins(8, 4, 8, 4);
  const struct {
    const char* hint;
    const char* icon;
    void (ExplorerPage::*handler)();
  } views[] = {{"Show Large Icons", "largeicons", &ExplorerPage::showLargeIcons},
               {"Show Small Icons", "smallicons", &ExplorerPage::showSmallIcons},
               {"Show List", "list", &ExplorerPage::showList},
               {"Show Details", "details", &ExplorerPage::showDetails},
               {"Show Thumbnails", "thumbnails", &ExplorerPage::showThumbnails}};
  for (const auto& v : views) {
    auto* button =
        IconButton(tr(v.hint), QString::fromLatin1(v.icon) + "ViewButton", QString::fromLatin1(v.icon), bottom);
    button->setIconSize(QSize(28, 28));
    connect(button, &QToolButton::clicked, this, v.handler);
    row->addWidget(button);
  }
  row->addStretch(1);
  auto* back = TextButton(tr("<- Back"), QStringLiteral("ExplorerBackButton"), bottom);
  connect(back, &QPushButton::clicked, this, &ExplorerPage::backRequested);
  row->addWidget(back);
  column->addWidget(bottom);
}

void ExplorerPage::showFolder(const QString& folder) { files_->SetFolder(folder); }

void ExplorerPage::showLargeIcons() {
  files_->SetThumbnails(false);
  files_->SetViewStyle(widgets::ShellList::vsIcon);
}

void ExplorerPage::showSmallIcons() {
  files_->SetThumbnails(false);
  files_->SetViewStyle(widgets::ShellList::vsSmallIcon);
}

void ExplorerPage::showList() {
  files_->SetThumbnails(false);
  files_->SetViewStyle(widgets::ShellList::vsList);
}

void ExplorerPage::showDetails() {
  files_->SetThumbnails(false);
  files_->SetViewStyle(widgets::ShellList::vsReport);
}

void ExplorerPage::showThumbnails() {
  files_->SetViewStyle(widgets::ShellList::vsIcon);
  files_->SetThumbnails(true);
}

}  // namespace larkvale::app
