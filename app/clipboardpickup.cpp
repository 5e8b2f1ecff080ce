#include "app/clipboardpickup.h"

#include "extract/siteaddresses.h"
#include "platform/clipboard.h"

namespace larkvale::app {

QString TrimBlanksAndControls(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text[begin].unicode() <= ' ') ++begin;
  while (end > begin && text[end - 1].unicode() <= ' ') --end;
  return text.mid(begin, end - begin);
}

QString PickWatchAddress(const QString& clipboardText, const QFont& font) {
  const QString googleVideo = QString::fromLatin1(extract::kGoogleVideoDomain);
  const QString videoSite = QString::fromLatin1(extract::kVideoSiteDomain);
  auto mayMatter = [&](const QString& paragraph) {
    return paragraph.contains(googleVideo) || paragraph.contains(videoSite);
  };
  // The box's 2-pixel border on each side is not part of its text area.
  const QStringList lines = platform::WrapLikeEditBox(clipboardText, font, kPickupBoxWidthPx - 4, mayMatter);

  QString address;
  for (const QString& line : lines) {
    if (line.contains(googleVideo)) address = TrimBlanksAndControls(line);
    if (line.contains(videoSite)) address = TrimBlanksAndControls(line);
  }
  return address;
}

}  // namespace larkvale::app
