#pragma once
// The embedded web browser `TWebBrowser`: a web view that navigates, stops,
// and reports before each navigation its target address, each completed
// document with its address, and loading progress. All events arrive on the
// user-interface thread, from the event loop.

#include <QWebEngineView>
#include <functional>

namespace larkvale::browser {

class TWebBrowser : public QWebEngineView {
 public:
  explicit TWebBrowser(QWidget* parent = nullptr);
  ~TWebBrowser() override;

  // Before every navigation, frames included, with the target address as
  // text. Navigations are never refused.
  std::function<void(const QString& url)> OnBeforeNavigate2;
  // When the top document has finished loading, also when it failed (the
  // engine then shows its own error page).
  std::function<void(const QString& url)> OnDocumentComplete;
  std::function<void(int progress, int progressMax)> OnProgressChange;

  // Loads the page at `address`, taken as the user would type it (a missing
  // scheme means http). Blank text does nothing; text that is no address
  // throws std::invalid_argument.
  void Navigate(const QString& address);
  // Stops loading.
  void Stop();

 private:
  class Page;
  class PopupCatcher;
};

}  // namespace larkvale::browser
