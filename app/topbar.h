#pragma once
// The window's top bar: the three large page buttons on the left; on the
// right the web site's label over the Proxy, Help, E-mail and Web Site
// buttons. It only says what was pressed; the window acts on it.

#include <QWidget>

class QLabel;

namespace larkvale::app {

class TopBar : public QWidget {
  Q_OBJECT
 public:
  explicit TopBar(QWidget* parent = nullptr);

 signals:
  void pageRequested(int page);  // 0 browser, 1 converter, 2 explorer
  void proxyRequested();
  void helpRequested();
  void emailRequested();
  void webSiteRequested();  // the Web Site button, and a click on the label

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  QLabel* webSiteLabel_ = nullptr;
};

}  // namespace larkvale::app
