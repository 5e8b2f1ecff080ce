#include "convert/outputsettings.h"

#include <limits>

#include "engine/videoenginecore.h"

namespace larkvale::convert {

namespace {

constexpr int kIntMax = std::numeric_limits<int>::max();

// Positive and within what the engine's property can hold, so nothing is
// silently truncated or sent as a negative rate.
int Positive(const QString& text, const char* field) {
  return ReadWholeNumber(text, QString::fromLatin1(field), 1, kIntMax);
}
short Channels(const QString& text) { return short(ReadWholeNumber(text, QStringLiteral("Audio channels"), 1, 2)); }

}  // namespace

void ApplyFileSize(const OutputChoices& c, engine::VideoEngineCore& engine) {
  engine.OutputFileWidth = short(ReadWholeNumber(c.width, QStringLiteral("File Width"), 16, 4096));
  engine.OutputFileHeight = short(ReadWholeNumber(c.height, QStringLiteral("File Height"), 16, 4096));
}

AppliedOutput ApplyOutputSettings(const OutputChoices& c, engine::VideoEngineCore& engine, const QString& appDir) {
  engine.FLVAudioBitrate = Positive(c.flv.audioBitrate, "Audio bit rate");
  engine.FLVAudioChannels = Channels(c.flv.audioChannels);
  engine.FLVAudioSampleRate = Positive(c.flv.audioSampleRate, "Audio sample rate");
  engine.FLVVideoBitrate = Positive(c.flv.videoBitrate, "Video bit rate");
  engine.MPEGAudioBitrate = Positive(c.mpeg.audioBitrate, "Audio bit rate");
  engine.MPEGAudioChannels = Channels(c.mpeg.audioChannels);
  engine.MPEGAudioSampleRate = Positive(c.mpeg.audioSampleRate, "Audio sample rate");
  engine.MPEGVideoBitrate = Positive(c.mpeg.videoBitrate, "Video bit rate");
  engine.Video3GPAudioCodec = c.gp3AudioCodec;
  engine.Video3GPVideoCodec = c.gp3VideoCodec;
  engine.Video3GPAudioSampleRate = Positive(c.gp3AudioSampleRate, "Audio sample rate");
  engine.Video3GPVideoBitrate = Positive(c.gp3VideoBitrate, "Video bit rate");

  const auto& formats = OutputFormats();
  const OutputFormat& f = formats.at(size_t(c.format));
  AppliedOutput applied{f.filter, f.extension, f.save};
  if (f.outputType >= 0) engine.OutputType = f.outputType;

  if (f.panel == Panel::AVI) {
    engine.VideoCompressor = short(c.videoCompressor);
    engine.AudioCompressor = short(c.audioCompressor);
    engine.UseVideoCompressor = c.useVideoCompressor;
    engine.UseAudioCompressor = c.useAudioCompressor;
    engine.FrameRate = float(ReadWholeNumber(c.frameRate, QStringLiteral("Frame Rate"), 1, 120));
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
  return applied;
}

bool SaveOutput(const OutputChoices& c, engine::VideoEngineCore& engine, const QString& file) {
  switch (OutputFormats().at(size_t(c.format)).save) {
    case SaveMethod::Wav:
      return engine.SaveTimelineWav(file, Channels(c.wavChannels), Positive(c.wavSampleRate, "Audio sample rate"),
                                    short(c.wavBits + 1));
    case SaveMethod::Mp3:
      return engine.SaveTimelineMp3(file, Positive(c.mp3SampleRate, "Audio sample rate"),
                                    short(ReadWholeNumber(c.mp3Bitrate, QStringLiteral("Audio bit rate"), 1, 32767)));
    case SaveMethod::Timeline:
      break;
  }
  return engine.SaveTimeline(file);
}

}  // namespace larkvale::convert
