#include "widgets/taskpane.h"

#include <QHBoxLayout>
#include <QMenu>
#include <QStyle>
#include <QVBoxLayout>

namespace larkvale::widgets {

TaskPane::TaskPane(QWidget* parent) : QWidget(parent) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  auto* header = new QWidget(this);
  header->setObjectName(QStringLiteral("TaskPaneHeader"));
  header->setFixedHeight(26);
  auto* row = new QHBoxLayout(header);
  row->setContentsMargins(8, 0, 4, 0);
  caption_ = new QLabel(header);
  caption_->setObjectName(QStringLiteral("TaskPaneCaption"));
  QFont bold = caption_->font();
  bold.setBold(true);
  caption_->setFont(bold);

  pageList_ = new QToolButton(header);
  pageList_->setObjectName(QStringLiteral("TaskPanePageList"));
  pageList_->setText(tr("Pages"));
  pageList_->setAccessibleName(tr("Pages"));
  pageList_->setPopupMode(QToolButton::InstantPopup);
  pageList_->setAutoRaise(true);
  pageList_->setMenu(new QMenu(pageList_));

  home_ = new QToolButton(header);
  home_->setObjectName(QStringLiteral("TaskPaneHome"));
  home_->setIcon(style()->standardIcon(QStyle::SP_DirHomeIcon));
  home_->setToolTip(tr("Web site"));
  home_->setAccessibleName(tr("Web site"));
  home_->setAutoRaise(true);
  connect(home_, &QToolButton::clicked, this, &TaskPane::homeClicked);

  close_ = new QToolButton(header);
  close_->setObjectName(QStringLiteral("TaskPaneClose"));
  close_->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
  close_->setToolTip(tr("Close"));
  close_->setAccessibleName(tr("Close"));
  close_->setAutoRaise(true);
  connect(close_, &QToolButton::clicked, this, &TaskPane::closeClicked);

  row->addWidget(caption_);
  row->addStretch(1);
  row->addWidget(pageList_);
  row->addWidget(home_);
  row->addWidget(close_);

  stack_ = new QStackedWidget(this);
  stack_->setObjectName(QStringLiteral("TaskPanePages"));
  column->addWidget(header);
  column->addWidget(stack_, 1);
  connect(stack_, &QStackedWidget::currentChanged, this, [this](int index) {
    caption_->setText(Caption(index));
    emit activePageChanged(index);
  });
}

int TaskPane::AddPage(QWidget* page, const QString& caption) {
  const int index = stack_->addWidget(page);
  captions_ << caption;
  QAction* action = pageList_->menu()->addAction(caption);
  connect(action, &QAction::triggered, this, [this, index] { SetActivePage(index); });
  if (index == stack_->currentIndex()) caption_->setText(caption);
  return index;
}

void TaskPane::SetActivePage(int index) { stack_->setCurrentIndex(index); }

QString TaskPane::Caption(int index) const { return index >= 0 && index < captions_.size() ? captions_[index] : QString(); }

}  // namespace larkvale::widgets
