#include "platform/notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QVariantMap>

namespace larkvale::platform {

namespace {

// Servers that show body markup would swallow "<" and "&" in a file name.
QString FileNameOf(const QString& file) { return QFileInfo(file).fileName().toHtmlEscaped(); }

QString WithReason(const QString& file, const QString& reason) {
  return reason.isEmpty() ? FileNameOf(file) : FileNameOf(file) + QStringLiteral("\n") + reason.toHtmlEscaped();
}

}  // namespace

DesktopNotifier::DesktopNotifier(Gate mayNotify, QDBusConnection bus, QObject* parent)
    : QObject(parent), mayNotify_(std::move(mayNotify)), bus_(std::move(bus)) {}

bool DesktopNotifier::Notify(const QString& summary, const QString& body) {
  if (mayNotify_ && !mayNotify_()) return false;
  if (!bus_.isConnected()) return false;
  QDBusMessage call =
      QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                     QStringLiteral("/org/freedesktop/Notifications"),
                                     QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  const QString desktopId = QString::fromLatin1(kDesktopId);
  const QVariantMap hints{{QStringLiteral("desktop-entry"), desktopId}};
  call << QStringLiteral("Larkvale_HD") << uint(0) << desktopId << summary << body << QStringList() << hints
       << int(-1);
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    const QDBusPendingReply<uint> reply = *w;
    if (reply.isError())
      emit notDelivered(reply.error().message());
    else
      emit delivered(reply.value());
    w->deleteLater();
  });
  return true;
}

bool DesktopNotifier::DownloadFinished(const QString& file) {
  return Notify(QStringLiteral("Download finished"), FileNameOf(file));
}

bool DesktopNotifier::DownloadFailed(const QString& file, const QString& reason) {
  return Notify(QStringLiteral("Download failed"), WithReason(file, reason));
}

bool DesktopNotifier::ConversionFinished(const QString& file) {
  return Notify(QStringLiteral("Conversion finished"), FileNameOf(file));
}

bool DesktopNotifier::ConversionFailed(const QString& file, const QString& reason) {
  return Notify(QStringLiteral("Conversion failed"), WithReason(file, reason));
}

}  // namespace larkvale::platform
