#pragma once
// The window's ties to the desktop outside it: notifications and log lines
// when a download or a conversion ends, and the taskbar entry's progress.
// Nothing here ever reports an error: without a session bus, a notification
// service or a launcher the calls simply go nowhere.

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include "platform/notifier.h"

class QWidget;

namespace larkvale::app {

class DesktopIntegration : public QObject {
  Q_OBJECT

 public:
  // Notifications are held back while `window` is the active window: the
  // user sees the result there.
  explicit DesktopIntegration(QWidget* window, QDBusConnection bus = QDBusConnection::sessionBus());

  void downloadFinished(const QString& file);
  void downloadFailed(const QString& url, const QString& file, const QString& reason);
  void conversionFinished(const QString& file);
  void conversionFailed(const QString& file, const QString& reason);

  // The taskbar entry's progress bar: 0 to 100, or -1 to hide it. Sent only
  // when it changes.
  void showProgress(int percent);

  platform::DesktopNotifier& notifier() { return notifier_; }

 private:
  QDBusConnection bus_;
  platform::DesktopNotifier notifier_;
  int progress_ = -1;
};

// The launcher entry's address of the installed desktop file.
QString LauncherEntryUri();

}  // namespace larkvale::app
