#include "app/desktopintegration.h"

#include <QDBusMessage>
#include <QVariantMap>
#include <QWidget>

#include "platform/applog.h"

namespace larkvale::app {

DesktopIntegration::DesktopIntegration(QWidget* window, QDBusConnection bus)
    : QObject(window), bus_(bus), notifier_([window] { return !window->isActiveWindow(); }, bus) {}

void DesktopIntegration::downloadFinished(const QString& file) { notifier_.DownloadFinished(file); }

void DesktopIntegration::downloadFailed(const QString& url, const QString& file, const QString& reason) {
  platform::LogFailedDownload(url, reason);
  notifier_.DownloadFailed(file.isEmpty() ? url : file, reason);
}

void DesktopIntegration::conversionFinished(const QString& file) { notifier_.ConversionFinished(file); }

void DesktopIntegration::conversionFailed(const QString& file, const QString& reason) {
  platform::LogFailedConversion(file, reason);
  notifier_.ConversionFailed(file, reason);
}

void DesktopIntegration::showProgress(int percent) {
  percent = qBound(-1, percent, 100);
  if (percent == progress_ || !bus_.isConnected()) return;
  progress_ = percent;
  // Docks and taskbars that know the launcher-entry interface (Plasma, Dock,
  // Dash to Dock, ...) draw the bar on the program's icon; a signal nobody
  // listens to costs nothing.
  QDBusMessage update = QDBusMessage::createSignal(QStringLiteral("/example/larkvale/Larkvale_HD/launcher"),
                                                   QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                   QStringLiteral("Update"));
  const QVariantMap properties{{QStringLiteral("progress"), percent < 0 ? 0.0 : percent / 100.0},
                               {QStringLiteral("progress-visible"), percent >= 0}};
  update << LauncherEntryUri() << properties;
  bus_.send(update);
}

QString LauncherEntryUri() {
  return QStringLiteral("application://") + QString::fromLatin1(platform::kDesktopId) + QStringLiteral(".desktop");
}

}  // namespace larkvale::app
