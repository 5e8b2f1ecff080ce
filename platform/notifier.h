#pragma once
// Desktop notifications through org.freedesktop.Notifications on the
// session bus: a download or a conversion that ends, naming its file.
// Sending never blocks and never reports an error to the user: without a
// bus or a notification service the call simply goes nowhere.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>

namespace larkvale::platform {

// The desktop entry and icon name the program is installed under.
inline constexpr char kDesktopId[] = "example.larkvale.Larkvale_HD";

class DesktopNotifier : public QObject {
  Q_OBJECT

 public:
  // Asked before every notification; false holds it back. The window passes
  // "the window is not active". Empty: always send.
  using Gate = std::function<bool()>;

  explicit DesktopNotifier(Gate mayNotify = {}, QDBusConnection bus = QDBusConnection::sessionBus(),
                           QObject* parent = nullptr);

  // True when a Notify call went out; whether it arrived is told by
  // `delivered` or `notDelivered`.
  bool Notify(const QString& summary, const QString& body);

  // `file` may be a full path; the notification shows its name.
  bool DownloadFinished(const QString& file);
  bool DownloadFailed(const QString& file, const QString& reason);
  bool ConversionFinished(const QString& file);
  bool ConversionFailed(const QString& file, const QString& reason);

 signals:
  void delivered(uint id);
  void notDelivered(const QString& error);

 private:
  Gate mayNotify_;
  QDBusConnection bus_;
};

}  // namespace larkvale::platform
