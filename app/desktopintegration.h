#pragma once
// The window's ties to the desktop outside it: notifications and log lines
// when a download or a conversion ends, and the taskbar entry's progress.
// Nothing here ever reports an error: without a session bus, a notification
// service or a launcher the calls simply go nowhere.

#include <QDBusConnection>
#include <QObject>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "platform/notifier.h"

class QWidget;

namespace larkvale::app {

class DesktopIntegration : public QObject {
  Q_OBJECT

 public:
  // Notifications are held back while `window` is the active window: the
  // user sees the result there.
  explicit DesktopIntegration(QWidget* window, QDBusConnection bus = QDBusConnection::sessionBus());

  // A download's end is told at once; those that end in the next second
  // after are told together when it is over ("12 downloads finished"), so
  // that a thousand small files do not make a thousand notifications.
  void downloadFinished(const QString& file);
  void downloadFailed(const QString& url, const QString& file, const QString& reason);
  void conversionFinished(const QString& file);
  void conversionFailed(const QString& file, const QString& reason);

  // The taskbar entry's progress bar: 0 to 100, or -1 to hide it. Sent only
  // when it changes, and at most every kProgressMs (the latest value then);
  // hiding it is sent at once, after the last value held back.
  void showProgress(int percent);

  static constexpr int kNoticeWindowMs = 1000;
  static constexpr int kProgressMs = 200;

  platform::DesktopNotifier& notifier() { return notifier_; }

 private:
  // Ends of one kind told within a window of each other.
  struct Batch {
    QTimer window;
    QStringList files;
    QStringList reasons;
  };
  void Told(Batch& batch, const QString& file, const QString& reason, bool failed);
  void TellHeld(Batch& batch, bool failed);
  void SendProgress(int percent);

  QDBusConnection bus_;
  platform::DesktopNotifier notifier_;
  Batch finished_, failed_;
  int progress_ = -1;      // as last sent
  int heldProgress_ = -1;  // waiting for the next turn
  bool progressHeld_ = false;
  QElapsedTimer progressSent_;
  QTimer progressTurn_;
};

// The launcher entry's address of the installed desktop file.
QString LauncherEntryUri();

}  // namespace larkvale::app
