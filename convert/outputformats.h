#pragma once
// The fixed list of output formats of "Save as:", the WMV 9 profiles, and the
// small rules around them (default compressors, number fields, filters).

#include <QString>
#include <QStringList>
#include <vector>

namespace larkvale::engine {
class TEngineCollection;
}

namespace larkvale::convert {

// Which settings panel of the output strip a format shows.
enum class Panel { None, MPEG, FLV, GP3, AVI, WMV, WAV, MP3, MP4, WebM };
// The panel's name as messages give it ("MPEG", "3GP"); empty for None.
QString PanelName(Panel panel);
// How the file chosen in the save dialog is written.
// Join: the Timeline's files whole, by copying their streams into the first
// file's container; the filter and extension come from that file.
enum class SaveMethod { Timeline, Wav, Mp3, Join };

struct OutputFormat {
  QString entry;      // the text in "Save as:"
  int outputType;     // -1: `OutputType` keeps its last value
  QString filter;     // "description|pattern"
  QString extension;  // the save dialog's default extension
  Panel panel;
  SaveMethod save;
  bool zune;  // converts through "zune.prx", whatever the WMV panel shows
};

// The entries in list order; the index is the entry's position. The first
// 19 are the classic formats; the two of today's follow, so that stored
// choices and the command line's names of the 19 keep their places, and
// "Join without re-encoding" comes last.
const std::vector<OutputFormat>& OutputFormats();
constexpr int kDefaultFormat = 8;  // "AVI"
// The index of "Join without re-encoding".
int JoinFormat();

struct WMV9Profile {
  QString name;
  QString file;  // in AppDir
};
const std::vector<WMV9Profile>& WMV9Profiles();
inline constexpr const char* kZuneProfileFile = "zune.prx";

// The names the WMV 8 list offers: the engine's profiles that are not hidden.
QStringList OfferedWMVProfiles(const engine::TEngineCollection& profiles);
// The compressor selected at start: the last item equal to "Microsoft MPEG-4
// Video Codec V1", else the last equal to "MJPEG Compressor", else item 0.
int DefaultVideoCompressor(const QStringList& names);
// The last item equal to "PCM", else item 0.
int DefaultAudioCompressor(const QStringList& names);

// A "description|pattern|description|pattern" filter in the file dialog's
// own form ("description (patterns);;...").
QString DialogFilter(const QString& filter);

// The whole number in a number field's text; throws EConvertError with
// "'%s' is not a valid integer value" when there is none (surrounding blanks
// are allowed, as is a leading sign).
int ReadWholeNumber(const QString& text);

// Seconds as a whole number that fits an int (for a bar or a slider),
// halves to even.
int WholeSeconds(double seconds);

// "m min s sec" for the rounded duration (125 -> "2 min 5 sec").
QString DurationText(double seconds);
// A frame rate in general format: up to 15 significant digits, no trailing
// zeros, the locale's decimal separator.
QString FrameRateText(double fps);

}  // namespace larkvale::convert
