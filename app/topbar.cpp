#include "app/topbar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/pagewidgets.h"

namespace larkvale::app {

TopBar::TopBar(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("TopBar"));
  setFixedHeight(65);

  // Three large page buttons at 8, 120 and 240 pixels from the left.
  const struct {
    const char* caption;
    const char* name;
    const char* icon;
    int left;
  } pages[] = {{"Browser", "BrowserPageButton", "browser", 8},
               {"Converter", "ConverterPageButton", "converter", 120},
               {"Files", "FilesPageButton", "files", 240}};
  for (int page = 0; page < 3; ++page) {
    const auto& p = pages[page];
    auto* button = TextButton(tr(p.caption), QString::fromLatin1(p.name), this, QString::fromLatin1(p.icon));
    button->setGeometry(p.left, 8, 105, 49);
    button->setIconSize(QSize(24, 24));
    button->setStyleSheet(QStringLiteral("padding: 2px 4px; font-size: 9pt;"));
    connect(button, &QPushButton::clicked, this, [this, page] { emit pageRequested(page); });
  }

  // The right-hand block, 348 pixels wide.
  auto* right = new QWidget(this);
  right->setObjectName(QStringLiteral("TopBarRight"));
  right->setFixedWidth(348);
  auto* rightColumn = new QVBoxLayout(right);
  rightColumn->setContentsMargins(4, 6, 8, 6);
  rightColumn->setSpacing(4);
  webSiteLabel_ = new QLabel(tr("Larkvale_HD on the web: news, tips and updates"), right);
  webSiteLabel_->setObjectName(QStringLiteral("WebSiteLabel"));
  webSiteLabel_->setCursor(Qt::PointingHandCursor);
  webSiteLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  webSiteLabel_->installEventFilter(this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* help = TextButton(tr("Help"), QStringLiteral("HelpButton"), right, QStringLiteral("help"));
  auto* email = TextButton(tr("E-mail"), QStringLiteral("EmailButton"), right, QStringLiteral("email"));
  auto* webSite = TextButton(tr("Web Site"), QStringLiteral("WebSiteButton"), right, QStringLiteral("website"));
  auto* proxy = TextButton(tr("Proxy"), QStringLiteral("ProxyButton"), right);
  for (auto* b : {proxy, help, email, webSite}) buttons->addWidget(b);
  connect(proxy, &QPushButton::clicked, this, &TopBar::proxyRequested);
  connect(help, &QPushButton::clicked, this, &TopBar::helpRequested);
  connect(email, &QPushButton::clicked, this, &TopBar::emailRequested);
  connect(webSite, &QPushButton::clicked, this, &TopBar::webSiteRequested);
  rightColumn->addWidget(webSiteLabel_);
  rightColumn->addLayout(buttons);

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->addStretch(1);
  row->addWidget(right);
}

bool TopBar::eventFilter(QObject* watched, QEvent* e) {
  if (watched == webSiteLabel_ && e->type() == QEvent::MouseButtonRelease) emit webSiteRequested();
  return QWidget::eventFilter(watched, e);
}

}  // namespace larkvale::app
