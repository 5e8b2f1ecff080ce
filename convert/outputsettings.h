#pragma once
// The user's choices in the output strip, and how they become engine
// properties, a save-dialog filter and a save call. Number fields stay text
// until they are read, so a field that is not a whole number stops the run
// exactly where it is read ("'%s' is not a valid integer value").

#include <QString>
#include <vector>

#include "convert/outputformats.h"

namespace larkvale::engine {
class VideoEngineCore;
}

namespace larkvale::convert {

struct AudioVideoFields {
  QString audioBitrate, audioChannels, audioSampleRate, videoBitrate;
};

// MP4 and WebM: a constant-quality level, the sound's bit rate in kbit/s,
// and whether the picture keeps the source's size.
struct QualityFields {
  QString quality, audioBitrate;
  bool sourceSize = true;
};

struct OutputChoices {
  int format = kDefaultFormat;  // index into OutputFormats()
  QString width = QStringLiteral("320");
  QString height = QStringLiteral("240");
  QString frameRate = QStringLiteral("25");  // AVI only
  AudioVideoFields mpeg{"224000", "2", "44100", "4600000"};
  AudioVideoFields flv{"128000", "2", "44100", "512000"};
  int gp3AudioCodec = 0;  // "AAC", "AMR"
  int gp3VideoCodec = 0;  // "MPEG4", "H263"
  QString gp3AudioSampleRate = QStringLiteral("22050");
  QString gp3VideoBitrate = QStringLiteral("4600000");
  int videoCompressor = 0;  // index in the engine's `VideoCompressors`
  int audioCompressor = 0;
  bool useVideoCompressor = true;
  bool useAudioCompressor = true;
  bool useWMV9 = false;
  QString wmv8Profile;   // the selected name of the WMV 8 list
  int wmv9Profile = 0;   // index into WMV9Profiles()
  int wavBits = 1;       // "8 bit", "16 bit"
  QString wavChannels = QStringLiteral("2");
  QString wavSampleRate = QStringLiteral("44100");
  QString mp3Bitrate = QStringLiteral("128");
  QString mp3Channels = QStringLiteral("2");  // shown only: an MP3 save takes no channel count
  QString mp3SampleRate = QStringLiteral("44100");
  QualityFields mp4{"21", "160", true};
  QualityFields webm{"32", "128", true};
  // "One file per entry": each Timeline entry into its own file in a chosen
  // folder, rather than the whole Timeline into one.
  bool eachEntry = false;
};

// The number fields that have a range the engine can honour.
enum class Field {
  FileWidth, FileHeight, FrameRate,
  MpegAudioBitrate, MpegAudioChannels, MpegAudioSampleRate, MpegVideoBitrate,
  FlvAudioBitrate, FlvAudioChannels, FlvAudioSampleRate, FlvVideoBitrate,
  Gp3AudioSampleRate, Gp3VideoBitrate,
  WavAudioChannels, WavAudioSampleRate,
  Mp3AudioBitrate, Mp3AudioSampleRate,
  Mp4Quality, Mp4AudioBitrate, WebmQuality, WebmAudioBitrate,
};

struct FieldRange {
  Field field;
  Panel panel;        // None: a common field, checked wherever it is read
  const char* label;  // as the strip labels it, without the colon
  int minimum, maximum;  // in the field's own unit
  int scale;          // field units per shown unit (1000: bit/s shown as kbit/s)
  const char* unit;   // the shown unit, empty for a plain count
};
const std::vector<FieldRange>& FieldRanges();

// The whole number in a field's text ("'%s' is not a valid integer value"
// when there is none). Its range is checked only when the field is common or
// on `selected`, the panel of the format being converted to; a value outside
// it throws EConvertError naming panel and field, e.g. "FLV: Audio bit rate
// must be between 8 and 320 kbit/s (is 0).".
int ReadField(Field field, const QString& text, Panel selected);

// "File Width" and "File Height" into `OutputFileWidth`/`OutputFileHeight`.
void ApplyFileSize(const OutputChoices& choices, engine::VideoEngineCore& engine);

struct AppliedOutput {
  QString filter;     // "description|pattern"
  QString extension;  // the save dialog's default extension
  SaveMethod save = SaveMethod::Timeline;
};

// In this order: the FLV, MPEG and 3GP properties (all twelve are read,
// whatever the format; only the selected format's panel is range-checked),
// the format's `OutputType`, then AVI, WMV, Zune, MP4 or WebM settings. Properties set
// before a bad field stay set.
AppliedOutput ApplyOutputSettings(const OutputChoices& choices, engine::VideoEngineCore& engine,
                                  const QString& appDir);

// Writes the engine's timeline to `file` with the format's save method; the
// WAV fields (channels, sample rate, then the bit list) and the MP3 fields
// (sample rate, then bit rate) are read here, one after the other, so the
// first bad one in that order is the one named. False when the engine failed.
bool SaveOutput(const OutputChoices& choices, engine::VideoEngineCore& engine, const QString& file);

}  // namespace larkvale::convert
