#pragma once
// The page container: a header with the active page's caption, a list of
// the pages, a home command and a close command, above the pages themselves.

#include <QLabel>
#include <QStackedWidget>
#include <QToolButton>
#include <QWidget>

namespace larkvale::widgets {

class TaskPane : public QWidget {
  Q_OBJECT
 public:
  explicit TaskPane(QWidget* parent = nullptr);

  // Adds a page; its caption shows in the header while it is active.
  int AddPage(QWidget* page, const QString& caption);
  void SetActivePage(int index);
  int ActivePage() const { return stack_->currentIndex(); }
  QWidget* Page(int index) const { return stack_->widget(index); }
  QString Caption(int index) const;
  QString HeaderCaption() const { return caption_->text(); }

 signals:
  void closeClicked();
  void homeClicked();
  void activePageChanged(int index);

 private:
  QLabel* caption_;
  QToolButton* pageList_;
  QToolButton* home_;
  QToolButton* close_;
  QStackedWidget* stack_;
  QStringList captions_;
};

}  // namespace larkvale::widgets
