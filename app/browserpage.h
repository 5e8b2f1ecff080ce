#pragma once
// The Browser page: the bar with the address box, the arrows, Browse, Stop
// and Home; the embedded browser; and, under it, the downloads panel, whose
// status line, downloads switch and Download button sit in the bar.
//
// Watch pages the browser reaches land in the address box and in the
// back/forward history. The browser's progress event processes window
// messages, so other handlers may run inside it; it never runs inside itself.

#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <optional>

#include "app/sharedstate.h"
#include "browser/pagesession.h"
#include "platform/services.h"

class QComboBox;
class QMenu;
class QToolButton;

class QHBoxLayout;

namespace larkvale::browser {
class TWebBrowser;
}
namespace larkvale::widgets {
class ImageButton;
class StyledButton;
}  // namespace larkvale::widgets

namespace larkvale::app {

class DownloadsPanel;

class BrowserPage : public QWidget {
  Q_OBJECT

 public:
  // `downloads` is laid out in this page.
  BrowserPage(const platform::Services& services, const SharedState& state, DownloadsPanel& downloads,
              QWidget* parent = nullptr);

  void navigateStartPage();
  void navigateToAddress();  // Enter in the address box, Browse, an entry chosen in its list
  void navigateBack();
  void navigateForward();
  void navigateHome();
  // "Stop": runs what `setStopAlso` gave (the page fetch, a conversion),
  // then stops the page's loading.
  void stop();
  void setStopAlso(std::function<void()> alsoStop);

  // The address box's text.
  QString address() const;
  void showAddress(const QString& address);
  // Puts `address` into the box as if the user typed it there: the sample
  // address of the first loaded page no longer replaces it.
  void typeAddress(const QString& address);
  // Puts the keyboard focus into the address box, its text selected.
  void focusAddress();
  // The watch pages visited, and the position in them (-1 while empty).
  QStringList history() const { return history_; }
  int historyIndex() const { return historyIndex_; }

  // The browser's state, when `address` is the page it shows.
  std::optional<browser::BrowsedPage> browsedPageAt(const QString& address) const;
  // The media the shown page asked for, in the order it asked.
  QStringList foundMedia() const;

 private:
  // The constructor's steps: the bar above the page, its address row, the
  // embedded browser.
  QWidget* buildBar();
  QHBoxLayout* buildAddressRow(QWidget* bar);
  void buildBrowser(QWidget* host);
  void beforeNavigate(const QString& url);
  void documentComplete(const QString& url);
  void progressChange();
  void buildTabOrder();
  // The found-media button follows the browser's finds.
  void showFoundMedia();
  void fillFoundMediaMenu();

  const platform::Services& services_;
  const SharedState& state_;
  DownloadsPanel& downloads_;
  std::function<void()> alsoStop_;
  QStringList history_;
  int historyIndex_ = -1;
  bool firstDocumentPending_ = true;
  // Set by a navigation from the address box or the arrows; the next watch
  // page then goes to the top of the address box's list.
  bool addressNavigation_ = false;

  QToolButton* back_ = nullptr;
  QToolButton* forward_ = nullptr;
  QComboBox* address_ = nullptr;
  widgets::StyledButton* browse_ = nullptr;
  widgets::StyledButton* stop_ = nullptr;
  widgets::ImageButton* home_ = nullptr;
  QToolButton* found_ = nullptr;  // "N videos": lists the finds, queues one or all
  QMenu* foundMenu_ = nullptr;
  browser::TWebBrowser* web_ = nullptr;
};

}  // namespace larkvale::app
