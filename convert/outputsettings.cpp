#include "convert/outputsettings.h"

#include <algorithm>

#include "engine/videoenginecore.h"
#include "platform/errors.h"

namespace larkvale::convert {

const std::vector<FieldRange>& FieldRanges() {
  using F = Field;
  using P = Panel;
  // What the engine's encoders can write; outside it the engine would clamp
  // or refuse without saying which field was at fault.
  static const std::vector<FieldRange> ranges = {
      {F::FileWidth, P::None, "File Width", 16, 4096, 1, "pixels"},
      {F::FileHeight, P::None, "File Height", 16, 4096, 1, "pixels"},
      {F::FrameRate, P::AVI, "Frame Rate", 1, 120, 1, "frames/s"},
      {F::MpegAudioBitrate, P::MPEG, "Audio bit rate", 8000, 384000, 1000, "kbit/s"},
      {F::MpegAudioChannels, P::MPEG, "Audio channels", 1, 2, 1, ""},
      {F::MpegAudioSampleRate, P::MPEG, "Audio sample rate", 16000, 48000, 1, "Hz"},
      {F::MpegVideoBitrate, P::MPEG, "Video bit rate", 100000, 80000000, 1000, "kbit/s"},
      {F::FlvAudioBitrate, P::FLV, "Audio bit rate", 8000, 320000, 1000, "kbit/s"},
      {F::FlvAudioChannels, P::FLV, "Audio channels", 1, 2, 1, ""},
      {F::FlvAudioSampleRate, P::FLV, "Audio sample rate", 11025, 44100, 1, "Hz"},
      {F::FlvVideoBitrate, P::FLV, "Video bit rate", 10000, 50000000, 1000, "kbit/s"},
      {F::Gp3AudioSampleRate, P::GP3, "Audio sample rate", 8000, 48000, 1, "Hz"},
      {F::Gp3VideoBitrate, P::GP3, "Video bit rate", 10000, 50000000, 1000, "kbit/s"},
      {F::WavAudioChannels, P::WAV, "Audio channels", 1, 2, 1, ""},
      {F::WavAudioSampleRate, P::WAV, "Audio sample rate", 8000, 192000, 1, "Hz"},
      {F::Mp3AudioBitrate, P::MP3, "Audio bit rate", 8, 320, 1, "kbit/s"},
      {F::Mp3AudioSampleRate, P::MP3, "Audio sample rate", 8000, 48000, 1, "Hz"},
      // The encoders' own quality scales: lower is better and larger; 0
      // (lossless, files many times larger) is not offered.
      {F::Mp4Quality, P::MP4, "Quality (CRF)", 1, 51, 1, ""},
      {F::Mp4AudioBitrate, P::MP4, "Audio bit rate", 32, 512, 1, "kbit/s"},
      {F::WebmQuality, P::WebM, "Quality (CRF)", 1, 63, 1, ""},
      {F::WebmAudioBitrate, P::WebM, "Audio bit rate", 6, 510, 1, "kbit/s"},
  };
  return ranges;
}

int ReadField(Field field, const QString& text, Panel selected) {
  const int value = ReadWholeNumber(text);
  const auto& ranges = FieldRanges();
  const auto r = std::find_if(ranges.begin(), ranges.end(), [&](const FieldRange& x) { return x.field == field; });
  if (r == ranges.end() || (r->panel != Panel::None && r->panel != selected)) return value;
  if (value >= r->minimum && value <= r->maximum) return value;
  const auto shown = [&](int v) { return QString::number(double(v) / r->scale, 'g', 12); };
  QString message = QStringLiteral("%1 must be between %2 and %3").arg(QString::fromLatin1(r->label),
                                                                        shown(r->minimum), shown(r->maximum));
  if (*r->unit) message += QLatin1Char(' ') + QString::fromLatin1(r->unit);
  message += QStringLiteral(" (is %1).").arg(shown(value));
  if (r->panel != Panel::None) message = PanelName(r->panel) + QStringLiteral(": ") + message;
  throw platform::EConvertError(message.toStdString());
}

void ApplyFileSize(const OutputChoices& c, engine::VideoEngineCore& engine) {
  const Panel panel = OutputFormats().at(size_t(c.format)).panel;
  engine.OutputFileWidth = short(ReadField(Field::FileWidth, c.width, panel));
  engine.OutputFileHeight = short(ReadField(Field::FileHeight, c.height, panel));
}

AppliedOutput ApplyOutputSettings(const OutputChoices& c, engine::VideoEngineCore& engine, const QString& appDir) {
  const OutputFormat& f = OutputFormats().at(size_t(c.format));
  const auto read = [&](Field field, const QString& text) { return ReadField(field, text, f.panel); };
  engine.FLVAudioBitrate = read(Field::FlvAudioBitrate, c.flv.audioBitrate);
  engine.FLVAudioChannels = short(read(Field::FlvAudioChannels, c.flv.audioChannels));
  engine.FLVAudioSampleRate = read(Field::FlvAudioSampleRate, c.flv.audioSampleRate);
  engine.FLVVideoBitrate = read(Field::FlvVideoBitrate, c.flv.videoBitrate);
  engine.MPEGAudioBitrate = read(Field::MpegAudioBitrate, c.mpeg.audioBitrate);
  engine.MPEGAudioChannels = short(read(Field::MpegAudioChannels, c.mpeg.audioChannels));
  engine.MPEGAudioSampleRate = read(Field::MpegAudioSampleRate, c.mpeg.audioSampleRate);
  engine.MPEGVideoBitrate = read(Field::MpegVideoBitrate, c.mpeg.videoBitrate);
  engine.Video3GPAudioCodec = c.gp3AudioCodec;
  engine.Video3GPVideoCodec = c.gp3VideoCodec;
  engine.Video3GPAudioSampleRate = read(Field::Gp3AudioSampleRate, c.gp3AudioSampleRate);
  engine.Video3GPVideoBitrate = read(Field::Gp3VideoBitrate, c.gp3VideoBitrate);

  AppliedOutput applied{f.filter, f.extension, f.save};
  if (f.outputType >= 0) engine.OutputType = f.outputType;

  if (f.panel == Panel::AVI) {
    engine.VideoCompressor = short(c.videoCompressor);
    engine.AudioCompressor = short(c.audioCompressor);
    engine.UseVideoCompressor = c.useVideoCompressor;
    engine.UseAudioCompressor = c.useAudioCompressor;
    engine.FrameRate = float(read(Field::FrameRate, c.frameRate));
  }
  if (f.panel == Panel::WMV) {
    const auto& wmv9 = WMV9Profiles();
    if (c.useWMV9 && c.wmv9Profile >= 0 && size_t(c.wmv9Profile) < wmv9.size())
      engine.SetWMVCustomFileName(appDir + wmv9[size_t(c.wmv9Profile)].file);
    else if (!c.useWMV9)
      // By name: the list leaves hidden profiles out, so positions differ.
      engine.SetWMVProfile(engine.WMVProfiles().IndexOf(c.wmv8Profile));
  }
  if (f.zune) engine.SetWMVCustomFileName(appDir + QString::fromLatin1(kZuneProfileFile));
  if (f.panel == Panel::MP4 || f.panel == Panel::WebM) {
    const bool mp4 = f.panel == Panel::MP4;
    const QualityFields& q = mp4 ? c.mp4 : c.webm;
    engine.VideoQuality = read(mp4 ? Field::Mp4Quality : Field::WebmQuality, q.quality);
    engine.AudioBitrate = read(mp4 ? Field::Mp4AudioBitrate : Field::WebmAudioBitrate, q.audioBitrate) * 1000;
    engine.KeepSourceSize = q.sourceSize;
  }
  return applied;
}

bool SaveOutput(const OutputChoices& c, engine::VideoEngineCore& engine, const QString& file) {
  const OutputFormat& f = OutputFormats().at(size_t(c.format));
  switch (f.save) {
    case SaveMethod::Wav: {
      // One statement each: the order of reading decides which bad field is named.
      const int channels = ReadField(Field::WavAudioChannels, c.wavChannels, f.panel);
      const int sampleRate = ReadField(Field::WavAudioSampleRate, c.wavSampleRate, f.panel);
      const int size = c.wavBits + 1;  // "8 bit" is 1 byte a sample, "16 bit" 2
      return engine.SaveTimelineWav(file, short(channels), sampleRate, short(size));
    }
    case SaveMethod::Mp3: {
      const int sampleRate = ReadField(Field::Mp3AudioSampleRate, c.mp3SampleRate, f.panel);
      const int kbps = ReadField(Field::Mp3AudioBitrate, c.mp3Bitrate, f.panel);
      return engine.SaveTimelineMp3(file, sampleRate, short(kbps));
    }
    case SaveMethod::Join:
      return engine.JoinTimeline(file);
    case SaveMethod::Timeline:
      break;
  }
  return engine.SaveTimeline(file);
}

}  // namespace larkvale::convert
