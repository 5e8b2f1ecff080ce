#include "convert/choicesstore.h"

#include <functional>
#include <vector>

namespace larkvale::convert {
namespace {

// One stored value: its name and how it reads from and writes to the choices.
struct StoredField {
  const char* name;
  std::function<QString(const OutputChoices&)> get;
  std::function<bool(OutputChoices&, const QString&)> set;  // false: the text is not usable
};

StoredField Text(const char* name, QString OutputChoices::*member) {
  return {name, [member](const OutputChoices& c) { return c.*member; },
          [member](OutputChoices& c, const QString& t) {
            c.*member = t;
            return true;
          }};
}

StoredField Text(const char* name, AudioVideoFields OutputChoices::*group, QString AudioVideoFields::*member) {
  return {name, [group, member](const OutputChoices& c) { return (c.*group).*member; },
          [group, member](OutputChoices& c, const QString& t) {
            (c.*group).*member = t;
            return true;
          }};
}

StoredField Number(const char* name, int OutputChoices::*member) {
  return {name, [member](const OutputChoices& c) { return QString::number(c.*member); },
          [member](OutputChoices& c, const QString& t) {
            bool ok = false;
            const int v = t.toInt(&ok);
            if (!ok || v < 0) return false;  // every stored number is an index
            c.*member = v;
            return true;
          }};
}

StoredField Flag(const char* name, bool OutputChoices::*member) {
  return {name, [member](const OutputChoices& c) { return c.*member ? QStringLiteral("1") : QStringLiteral("0"); },
          [member](OutputChoices& c, const QString& t) {
            if (t != "0" && t != "1") return false;
            c.*member = t == "1";
            return true;
          }};
}

StoredField Quality(const char* name, QualityFields OutputChoices::*group, QString QualityFields::*member) {
  return {name, [group, member](const OutputChoices& c) { return (c.*group).*member; },
          [group, member](OutputChoices& c, const QString& t) {
            (c.*group).*member = t;
            return true;
          }};
}

StoredField SourceSize(const char* name, QualityFields OutputChoices::*group) {
  return {name, [group](const OutputChoices& c) { return (c.*group).sourceSize ? QStringLiteral("1") : QStringLiteral("0"); },
          [group](OutputChoices& c, const QString& t) {
            if (t != "0" && t != "1") return false;
            (c.*group).sourceSize = t == "1";
            return true;
          }};
}

const std::vector<StoredField>& Fields() {
  static const std::vector<StoredField> fields = {
      // The format by its entry in "Save as:", so that a changed order of the
      // list cannot pick another one.
      {"convert.format",
       [](const OutputChoices& c) {
         const auto& formats = OutputFormats();
         return c.format >= 0 && c.format < int(formats.size()) ? formats[size_t(c.format)].entry : QString();
       },
       [](OutputChoices& c, const QString& t) {
         const auto& formats = OutputFormats();
         for (size_t i = 0; i < formats.size(); ++i)
           if (formats[i].entry == t) {
             c.format = int(i);
             return true;
           }
         return false;
       }},
      Text("convert.width", &OutputChoices::width),
      Text("convert.height", &OutputChoices::height),
      Text("convert.framerate", &OutputChoices::frameRate),
      Text("convert.mpeg.audiobitrate", &OutputChoices::mpeg, &AudioVideoFields::audioBitrate),
      Text("convert.mpeg.audiochannels", &OutputChoices::mpeg, &AudioVideoFields::audioChannels),
      Text("convert.mpeg.audiosamplerate", &OutputChoices::mpeg, &AudioVideoFields::audioSampleRate),
      Text("convert.mpeg.videobitrate", &OutputChoices::mpeg, &AudioVideoFields::videoBitrate),
      Text("convert.flv.audiobitrate", &OutputChoices::flv, &AudioVideoFields::audioBitrate),
      Text("convert.flv.audiochannels", &OutputChoices::flv, &AudioVideoFields::audioChannels),
      Text("convert.flv.audiosamplerate", &OutputChoices::flv, &AudioVideoFields::audioSampleRate),
      Text("convert.flv.videobitrate", &OutputChoices::flv, &AudioVideoFields::videoBitrate),
      Number("convert.3gp.audiocodec", &OutputChoices::gp3AudioCodec),
      Number("convert.3gp.videocodec", &OutputChoices::gp3VideoCodec),
      Text("convert.3gp.audiosamplerate", &OutputChoices::gp3AudioSampleRate),
      Text("convert.3gp.videobitrate", &OutputChoices::gp3VideoBitrate),
      Number("convert.videocompressor", &OutputChoices::videoCompressor),
      Number("convert.audiocompressor", &OutputChoices::audioCompressor),
      Flag("convert.usevideocompressor", &OutputChoices::useVideoCompressor),
      Flag("convert.useaudiocompressor", &OutputChoices::useAudioCompressor),
      Flag("convert.usewmv9", &OutputChoices::useWMV9),
      Text("convert.wmv8profile", &OutputChoices::wmv8Profile),
      Number("convert.wmv9profile", &OutputChoices::wmv9Profile),
      Number("convert.wav.bits", &OutputChoices::wavBits),
      Text("convert.wav.channels", &OutputChoices::wavChannels),
      Text("convert.wav.samplerate", &OutputChoices::wavSampleRate),
      Text("convert.mp3.bitrate", &OutputChoices::mp3Bitrate),
      Text("convert.mp3.channels", &OutputChoices::mp3Channels),
      Text("convert.mp3.samplerate", &OutputChoices::mp3SampleRate),
      Quality("convert.mp4.quality", &OutputChoices::mp4, &QualityFields::quality),
      Quality("convert.mp4.audiobitrate", &OutputChoices::mp4, &QualityFields::audioBitrate),
      SourceSize("convert.mp4.sourcesize", &OutputChoices::mp4),
      Quality("convert.webm.quality", &OutputChoices::webm, &QualityFields::quality),
      Quality("convert.webm.audiobitrate", &OutputChoices::webm, &QualityFields::audioBitrate),
      SourceSize("convert.webm.sourcesize", &OutputChoices::webm),
      Flag("convert.eachentry", &OutputChoices::eachEntry),
  };
  return fields;
}

}  // namespace

void StoreOutputChoices(platform::SettingsAccessor& accessor, const OutputChoices& choices) {
  QList<QPair<QString, QString>> values;
  for (const StoredField& f : Fields()) values.append({QString::fromLatin1(f.name), f.get(choices)});
  accessor.WriteStrings(values);
}

OutputChoices RestoreOutputChoices(const platform::SettingsAccessor& accessor, OutputChoices defaults) {
  for (const StoredField& f : Fields()) {
    const QString name = QString::fromLatin1(f.name);
    try {
      if (!accessor.ValueExists(name)) continue;
      OutputChoices tried = defaults;
      if (f.set(tried, accessor.ReadString(name))) defaults = tried;
    } catch (...) {
      // A value of another type keeps the default.
    }
  }
  return defaults;
}

}  // namespace larkvale::convert
