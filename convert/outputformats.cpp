#include "convert/outputformats.h"

#include <QLocale>
#include <algorithm>
#include <climits>

#include "engine/encodeplan.h"
#include "engine/videoenginecore.h"
#include "platform/errors.h"
#include "platform/rounding.h"

namespace larkvale::convert {

const std::vector<OutputFormat>& OutputFormats() {
  using P = Panel;
  using S = SaveMethod;
  const QString mpg = QStringLiteral("Mpeg File (*.mpg)|*.mpg");
  static const std::vector<OutputFormat> formats = {
      {"VCD_NTSC", 0, mpg, "mpg", P::MPEG, S::Timeline, false},
      {"VCD_PAL", 1, mpg, "mpg", P::MPEG, S::Timeline, false},
      {"SVCD_NTSC", 2, mpg, "mpg", P::MPEG, S::Timeline, false},
      {"SVCD_PAL", 3, mpg, "mpg", P::MPEG, S::Timeline, false},
      {"DVD_NTSC", 4, mpg, "mpg", P::MPEG, S::Timeline, false},
      {"DVD_PAL", 5, mpg, "mpg", P::MPEG, S::Timeline, false},
      {"MPEG 1", 6, mpg, "mpg", P::MPEG, S::Timeline, false},
      {"MPEG 2", 7, mpg, "mpg", P::MPEG, S::Timeline, false},
      {"AVI", 8, "Avi File (*.avi)|*.avi", "avi", P::AVI, S::Timeline, false},
      {"WMV", 9, "WMV File (*.wmv)|*.wmv", "wmv", P::WMV, S::Timeline, false},
      {"QT", 10, "QT File (*.mov)|*.mov", "mov", P::None, S::Timeline, false},
      {"RM", 11, "RM File (*.rm)|*.rm", "rm", P::None, S::Timeline, false},
      {"iPod", 12, "iPod File (*.mp4)|*.mp4", "mp4", P::None, S::Timeline, false},
      {"PSP", 13, "PSP File (*.mp4)|*.mp4", "mp4", P::None, S::Timeline, false},
      {"FLV", 14, "FLV File (*.flv)|*.flv", "flv", P::FLV, S::Timeline, false},
      {"3GP", 15, "Mobile File (*.3gp)|*.3gp", "3gp", P::GP3, S::Timeline, false},
      {"Zune", 9, "Zune (*.wmv)|*.wmv", "wmv", P::None, S::Timeline, true},
      {"WAV", -1, "Wave (*.wav)|*.wav", "wav", P::WAV, S::Wav, false},
      {"MP3", -1, "Mp3 (*.mp3)|*.mp3", "mp3", P::MP3, S::Mp3, false},
      {"MP4 (H.264, AAC)", engine::otMP4, "MP4 File (*.mp4)|*.mp4", "mp4", P::MP4, S::Timeline, false},
      {"WebM (VP9, Opus)", engine::otWebM, "WebM File (*.webm)|*.webm", "webm", P::WebM, S::Timeline, false},
      {"Join without re-encoding", -1, QString(), QString(), P::None, S::Join, false},
  };
  return formats;
}

int JoinFormat() { return int(OutputFormats().size()) - 1; }

QString PanelName(Panel panel) {
  switch (panel) {
    case Panel::None: break;
    case Panel::MPEG: return QStringLiteral("MPEG");
    case Panel::FLV: return QStringLiteral("FLV");
    case Panel::GP3: return QStringLiteral("3GP");
    case Panel::AVI: return QStringLiteral("AVI");
    case Panel::WMV: return QStringLiteral("WMV");
    case Panel::WAV: return QStringLiteral("WAV");
    case Panel::MP3: return QStringLiteral("MP3");
    case Panel::MP4: return QStringLiteral("MP4");
    case Panel::WebM: return QStringLiteral("WebM");
  }
  return {};
}

const std::vector<WMV9Profile>& WMV9Profiles() {
  // Names 1 and 2 lack their closing parenthesis and name 3 has two blanks:
  // they are shown exactly so.
  static const std::vector<WMV9Profile> profiles = {
      {"Dial-up Modems (28,8 kbps)", "Dial-up Modems (28,8 kbps).prx"},
      {"Dial-up Modems (56 kbps", "Dial-up Modems (56 kbps).prx"},
      {"Dial-up Modems or LAN (28,8 to 100 kbps", "Dial-up Modems or LAN (28,8 to 100 kbps).prx"},
      {"LAN, Cable Modem, or xDSL  (100 to 768kbps)", "LAN, Cable Modem, or xDSL  (100 to 768kbps).prx"},
      {"Local Network (100 kbps)", "Local Network (100 kbps).prx"},
      {"Local Network (256 kbps)", "Local Network (256 kbps).prx"},
      {"Local Network (384 kbps)", "Local Network (384 kbps).prx"},
      {"Local Network (768 kbps)", "Local Network (768 kbps).prx"},
      {"Pocket PC (225kbps)", "Pocket PC (225kbps).prx"},
      {"WMVHD 720", "wmvhd720p.prx"},
      {"WMVHD 1080", "wmvhd1080p.prx"},
      {"Zune", "zune.prx"},
  };
  return profiles;
}

QStringList OfferedWMVProfiles(const engine::TEngineCollection& profiles) {
  QStringList names;
  for (int i = 0; i < profiles.Count(); ++i)
    if (!profiles.IsHidden(i)) names << profiles.Name(i);
  return names;
}

namespace {
// The last item equal to `name` (exact, case-sensitive), or `fallback`.
int LastMatch(const QStringList& names, const QString& name, int fallback) {
  const int i = int(names.lastIndexOf(name));
  return i >= 0 ? i : fallback;
}
}  // namespace

int DefaultVideoCompressor(const QStringList& names) {
  const int mjpeg = LastMatch(names, QStringLiteral("MJPEG Compressor"), 0);
  return LastMatch(names, QStringLiteral("Microsoft MPEG-4 Video Codec V1"), mjpeg);
}

int DefaultAudioCompressor(const QStringList& names) { return LastMatch(names, QStringLiteral("PCM"), 0); }

QString DialogFilter(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList entries;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    const QString pattern = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
    const QString& description = parts[i];
    // A description that already names its patterns is used as it stands.
    entries << (description.contains(QLatin1Char('(') + pattern + QLatin1Char(')'))
                    ? description
                    : description + QStringLiteral(" (") + pattern + QLatin1Char(')'));
  }
  return entries.join(QStringLiteral(";;"));
}

int ReadWholeNumber(const QString& text) {
  bool ok = false;
  const int value = text.trimmed().toInt(&ok, 10);
  if (!ok)
    throw platform::EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text).toStdString());
  return value;
}

int WholeSeconds(double seconds) {
  return int(std::clamp<long long>(platform::RoundHalfEven(seconds), INT_MIN, INT_MAX));
}

QString DurationText(double seconds) {
  const long long n = platform::RoundHalfEven(seconds);
  return QStringLiteral("%1 min %2 sec").arg(n / 60).arg(n % 60);
}

QString FrameRateText(double fps) {
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  return locale.toString(fps, 'g', 15);
}

}  // namespace larkvale::convert
