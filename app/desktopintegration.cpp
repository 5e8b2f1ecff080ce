#include "app/desktopintegration.h"

#include <QDBusMessage>
#include <QFileInfo>
#include <utility>
#include <QVariantMap>
#include <QWidget>

#include "platform/applog.h"

namespace larkvale::app {

namespace {

constexpr int kNamesTold = 5;  // a batch's notice names this many files

QString Names(const QStringList& files) {
  QStringList names;
  for (int i = 0; i < files.size() && i < kNamesTold; ++i) names << QFileInfo(files[i]).fileName().toHtmlEscaped();
  QString text = names.join(QLatin1Char('\n'));
  if (files.size() > kNamesTold) text += QStringLiteral("\nand %1 more").arg(files.size() - kNamesTold);
  return text;
}

}  // namespace

DesktopIntegration::DesktopIntegration(QWidget* window, QDBusConnection bus)
    : QObject(window), bus_(bus), notifier_([window] { return !window->isActiveWindow(); }, bus) {
  for (auto [batch, failed] : {std::pair{&finished_, false}, std::pair{&failed_, true}}) {
    batch->window.setSingleShot(true);
    batch->window.setInterval(kNoticeWindowMs);
    connect(&batch->window, &QTimer::timeout, this, [this, batch = batch, failed = failed] { TellHeld(*batch, failed); });
  }
  progressTurn_.setSingleShot(true);
  connect(&progressTurn_, &QTimer::timeout, this, [this] {
    if (progressHeld_) SendProgress(heldProgress_);
  });
}

void DesktopIntegration::downloadFinished(const QString& file) { Told(finished_, file, QString(), false); }

void DesktopIntegration::downloadFailed(const QString& url, const QString& file, const QString& reason) {
  platform::LogFailedDownload(url, reason);
  Told(failed_, file.isEmpty() ? url : file, reason, true);
}

void DesktopIntegration::Told(Batch& batch, const QString& file, const QString& reason, bool failed) {
  if (batch.window.isActive()) {
    batch.files << file;
    batch.reasons << reason;
    return;
  }
  if (failed)
    notifier_.DownloadFailed(file, reason);
  else
    notifier_.DownloadFinished(file);
  batch.window.start();
}

void DesktopIntegration::TellHeld(Batch& batch, bool failed) {
  const QStringList files = std::exchange(batch.files, {});
  const QStringList reasons = std::exchange(batch.reasons, {});
  if (files.isEmpty()) return;
  if (files.size() == 1) {
    if (failed)
      notifier_.DownloadFailed(files.front(), reasons.front());
    else
      notifier_.DownloadFinished(files.front());
  } else if (failed) {
    notifier_.Notify(QStringLiteral("%1 downloads failed").arg(files.size()),
                     Names(files) + QStringLiteral("\n") + reasons.front().toHtmlEscaped());
  } else {
    notifier_.Notify(QStringLiteral("%1 downloads finished").arg(files.size()), Names(files));
  }
  // What ends in the next second is told together again.
  batch.window.start();
}

void DesktopIntegration::conversionFinished(const QString& file) { notifier_.ConversionFinished(file); }

void DesktopIntegration::conversionFailed(const QString& file, const QString& reason) {
  platform::LogFailedConversion(file, reason);
  notifier_.ConversionFailed(file, reason);
}

void DesktopIntegration::showProgress(int percent) {
  percent = qBound(-1, percent, 100);
  if (!bus_.isConnected()) return;
  if (percent < 0) {
    // Hidden at once, after the last value held back.
    progressTurn_.stop();
    if (progressHeld_) SendProgress(heldProgress_);
    SendProgress(percent);
    return;
  }
  if (progressSent_.isValid() && progressSent_.elapsed() < kProgressMs) {
    heldProgress_ = percent;
    progressHeld_ = true;
    if (!progressTurn_.isActive()) progressTurn_.start(int(kProgressMs - progressSent_.elapsed()));
    return;
  }
  SendProgress(percent);
}

void DesktopIntegration::SendProgress(int percent) {
  progressHeld_ = false;
  if (percent == progress_) return;
  progress_ = percent;
  progressSent_.start();
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
