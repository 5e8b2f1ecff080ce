#include "platform/help.h"

#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>

namespace larkvale::platform {

QString HelpTopicAnchor(int topic) { return QStringLiteral("topic-%1").arg(topic); }

QtHelp::~QtHelp() { delete viewer_; }

QTextBrowser* QtHelp::Viewer() const { return viewer_; }

void QtHelp::ShowContents() { Show(QString()); }

void QtHelp::ShowTopic(int topic) { Show(HelpTopicAnchor(topic)); }

void QtHelp::Show(const QString& anchor) {
  if (!QFileInfo(helpFile_).isFile()) return;
  if (!viewer_) {
    viewer_ = new QTextBrowser;
    viewer_->setObjectName(QStringLiteral("HelpViewer"));
    viewer_->setWindowTitle(QStringLiteral("Larkvale_HD Help"));
    viewer_->setOpenExternalLinks(true);
    viewer_->resize(720, 640);
  }
  QUrl url = QUrl::fromLocalFile(QFileInfo(helpFile_).absoluteFilePath());
  if (!anchor.isEmpty()) url.setFragment(anchor);
  viewer_->setSource(url);
  if (anchor.isEmpty()) viewer_->scrollToAnchor(QStringLiteral("contents"));
  viewer_->show();
  viewer_->raise();
}

}  // namespace larkvale::platform
