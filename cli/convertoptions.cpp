#include "cli/convertoptions.h"

#include <QStringList>
#include <exception>

#include "engine/videoenginecore.h"

namespace larkvale::cli {

using convert::OutputChoices;
using convert::Panel;

namespace {

QString Squeezed(QString name) {
  name = name.toLower();
  name.remove(QLatin1Char('-')).remove(QLatin1Char('_')).remove(QLatin1Char(' '));
  return name;
}

enum class Number { Width, Height, FrameRate, AudioBitrate, AudioChannels, AudioSampleRate, VideoBitrate, Quality };

// The number field `number` of the panel `panel` shows, nullptr when the
// panel has none. The file size is shown for every format.
QString* NumberField(OutputChoices& c, Panel panel, Number number) {
  if (number == Number::Width) return &c.width;
  if (number == Number::Height) return &c.height;
  if (number == Number::FrameRate) return panel == Panel::AVI ? &c.frameRate : nullptr;
  convert::AudioVideoFields* fields = panel == Panel::MPEG ? &c.mpeg : panel == Panel::FLV ? &c.flv : nullptr;
  if (fields) {
    switch (number) {
      case Number::AudioBitrate: return &fields->audioBitrate;
      case Number::AudioChannels: return &fields->audioChannels;
      case Number::AudioSampleRate: return &fields->audioSampleRate;
      case Number::VideoBitrate: return &fields->videoBitrate;
      default: return nullptr;
    }
  }
  if (panel == Panel::MP4 || panel == Panel::WebM) {
    convert::QualityFields& q = panel == Panel::MP4 ? c.mp4 : c.webm;
    if (number == Number::Quality) return &q.quality;
    if (number == Number::AudioBitrate) return &q.audioBitrate;
  }
  if (panel == Panel::GP3) {
    if (number == Number::AudioSampleRate) return &c.gp3AudioSampleRate;
    if (number == Number::VideoBitrate) return &c.gp3VideoBitrate;
  }
  if (panel == Panel::WAV) {
    if (number == Number::AudioChannels) return &c.wavChannels;
    if (number == Number::AudioSampleRate) return &c.wavSampleRate;
  }
  if (panel == Panel::MP3) {
    if (number == Number::AudioBitrate) return &c.mp3Bitrate;
    if (number == Number::AudioChannels) return &c.mp3Channels;
    if (number == Number::AudioSampleRate) return &c.mp3SampleRate;
  }
  return nullptr;
}

ConvertOption NumberOption(const char* name, const char* valueName, const char* description, Number number) {
  ConvertOption o;
  o.name = QLatin1String(name);
  o.valueName = QLatin1String(valueName);
  o.description = QLatin1String(description);
  o.appliesTo = [number](Panel p) {
    OutputChoices scratch;
    return NumberField(scratch, p, number) != nullptr;
  };
  o.value = [number](const OutputChoices& c, Panel p, const engine::VideoEngineCore&) {
    const QString* field = NumberField(const_cast<OutputChoices&>(c), p, number);
    return field ? *field : QString();
  };
  o.set = [number](OutputChoices& c, Panel p, const QString& value, const engine::VideoEngineCore&) {
    if (QString* field = NumberField(c, p, number)) *field = value;
    return QString();
  };
  return o;
}

// The item of `names` equal to `value` without regard to case, -1 when none.
int IndexOfName(const QStringList& names, const QString& value) {
  for (int i = 0; i < names.size(); ++i)
    if (names[i].compare(value.trimmed(), Qt::CaseInsensitive) == 0) return i;
  return -1;
}

QString NotOneOf(const QString& value, const QStringList& names) {
  return QStringLiteral("'%1' is not one of: %2").arg(value, names.join(QStringLiteral(", ")));
}

QStringList NamesOf(const engine::TEngineCollection& list) {
  QStringList names;
  for (int i = 0; i < list.Count(); ++i) names << list.Name(i);
  return names;
}

// An option choosing one item of a list the panel shows; `index` reaches the
// choice's field.
ConvertOption ListOption(const char* name, const char* valueName, const char* description, Panel panel,
                         std::function<QStringList(const engine::VideoEngineCore&)> names,
                         std::function<int&(OutputChoices&)> index) {
  ConvertOption o;
  o.name = QLatin1String(name);
  o.valueName = QLatin1String(valueName);
  o.description = QLatin1String(description);
  o.appliesTo = [panel](Panel p) { return p == panel; };
  o.value = [names, index](const OutputChoices& c, Panel, const engine::VideoEngineCore& e) {
    return names(e).value(index(const_cast<OutputChoices&>(c)));
  };
  o.set = [names, index](OutputChoices& c, Panel, const QString& value, const engine::VideoEngineCore& e) {
    const QStringList list = names(e);
    const int i = IndexOfName(list, value);
    if (i < 0) return NotOneOf(value, list);
    index(c) = i;
    return QString();
  };
  return o;
}

ConvertOption Switch(const char* name, const char* description, Panel panel, bool OutputChoices::*flag) {
  ConvertOption o;
  o.name = QLatin1String(name);
  o.description = QLatin1String(description);
  o.appliesTo = [panel](Panel p) { return p == panel; };
  o.value = [flag](const OutputChoices& c, Panel, const engine::VideoEngineCore&) {
    return c.*flag ? QStringLiteral("off") : QStringLiteral("on");
  };
  o.set = [flag](OutputChoices& c, Panel, const QString&, const engine::VideoEngineCore&) {
    c.*flag = false;
    return QString();
  };
  return o;
}

}  // namespace

QString FormatCommandName(int index) {
  const convert::OutputFormat& f = convert::OutputFormats().at(size_t(index));
  // "copy" joins, as --copy does; "MP4 (H.264, AAC)" is "mp4".
  if (f.save == convert::SaveMethod::Join) return QStringLiteral("copy");
  QString name = f.entry.section(QStringLiteral(" ("), 0, 0).toLower();
  name.replace(QLatin1Char('_'), QLatin1Char('-')).replace(QLatin1Char(' '), QLatin1Char('-'));
  return name;
}

int FindFormat(const QString& name) {
  const auto& formats = convert::OutputFormats();
  const QString wanted = Squeezed(name);
  if (wanted.isEmpty()) return -1;
  for (size_t i = 0; i < formats.size(); ++i)
    if (Squeezed(formats[i].entry) == wanted || Squeezed(FormatCommandName(int(i))) == wanted) return int(i);
  static const struct {
    const char* alias;
    const char* entry;
  } aliases[] = {{"quicktime", "QT"}, {"mov", "QT"}, {"realmedia", "RM"}};
  for (const auto& a : aliases)
    if (wanted == QLatin1String(a.alias)) return FindFormat(QLatin1String(a.entry));
  return -1;
}

OutputChoices PageDefaults(const engine::VideoEngineCore& engine) {
  OutputChoices c;
  const QStringList video = NamesOf(engine.VideoCompressors());
  const QStringList audio = NamesOf(engine.AudioCompressors());
  if (!video.isEmpty()) c.videoCompressor = convert::DefaultVideoCompressor(video);
  if (!audio.isEmpty()) c.audioCompressor = convert::DefaultAudioCompressor(audio);
  c.wmv8Profile = convert::OfferedWMVProfiles(engine.WMVProfiles()).value(0);
  return c;
}

const std::vector<ConvertOption>& ConvertOptions() {
  static const std::vector<ConvertOption> options = [] {
    std::vector<ConvertOption> o;
    o.push_back(NumberOption("width", "W", "File Width, in pixels.", Number::Width));
    o.push_back(NumberOption("height", "H", "File Height, in pixels.", Number::Height));
    o.push_back(NumberOption("rate", "R", "Frame Rate, frames a second (AVI).", Number::FrameRate));
    o.push_back(NumberOption("audio-bitrate", "BPS",
                             "Audio bit rate: bits a second (MPEG, FLV), kbit a second (MP3, MP4, WebM).",
                             Number::AudioBitrate));
    o.push_back(NumberOption("quality", "CRF", "Quality (CRF), lower is better and larger: 0 to 51 (MP4), 0 to 63 (WebM).",
                             Number::Quality));
    ConvertOption size;
    size.name = QStringLiteral("no-source-size");
    size.description = QStringLiteral("MP4, WebM: --width and --height set the size, not the source.");
    size.appliesTo = [](Panel p) { return p == Panel::MP4 || p == Panel::WebM; };
    size.value = [](const OutputChoices& c, Panel p, const engine::VideoEngineCore&) {
      return (p == Panel::MP4 ? c.mp4 : c.webm).sourceSize ? QStringLiteral("off") : QStringLiteral("on");
    };
    size.set = [](OutputChoices& c, Panel p, const QString&, const engine::VideoEngineCore&) {
      (p == Panel::MP4 ? c.mp4 : c.webm).sourceSize = false;
      return QString();
    };
    o.push_back(size);
    o.push_back(NumberOption("audio-channels", "N", "Audio channels, 1 or 2 (MPEG, FLV, WAV, MP3).",
                             Number::AudioChannels));
    o.push_back(NumberOption("audio-sample-rate", "HZ", "Audio sample rate (MPEG, FLV, 3GP, WAV, MP3).",
                             Number::AudioSampleRate));
    o.push_back(NumberOption("video-bitrate", "BPS", "Video bit rate, bits a second (MPEG, FLV, 3GP).",
                             Number::VideoBitrate));
    o.push_back(ListOption("audio-codec", "CODEC", "3GP audio codec: AAC or AMR.", Panel::GP3,
                           [](const engine::VideoEngineCore&) { return QStringList{"AAC", "AMR"}; },
                           [](OutputChoices& c) -> int& { return c.gp3AudioCodec; }));
    o.push_back(ListOption("video-codec", "CODEC", "3GP video codec: MPEG4 or H263.", Panel::GP3,
                           [](const engine::VideoEngineCore&) { return QStringList{"MPEG4", "H263"}; },
                           [](OutputChoices& c) -> int& { return c.gp3VideoCodec; }));
    o.push_back(ListOption("video-compressor", "NAME", "AVI video compressor (see 'larkvale formats').",
                           Panel::AVI, [](const engine::VideoEngineCore& e) { return NamesOf(e.VideoCompressors()); },
                           [](OutputChoices& c) -> int& { return c.videoCompressor; }));
    o.push_back(ListOption("audio-compressor", "NAME", "AVI audio compressor (see 'larkvale formats').",
                           Panel::AVI, [](const engine::VideoEngineCore& e) { return NamesOf(e.AudioCompressors()); },
                           [](OutputChoices& c) -> int& { return c.audioCompressor; }));
    o.push_back(Switch("no-video-compressor", "AVI: uncompressed pictures.", Panel::AVI,
                       &OutputChoices::useVideoCompressor));
    o.push_back(Switch("no-audio-compressor", "AVI: uncompressed sound.", Panel::AVI,
                       &OutputChoices::useAudioCompressor));

    ConvertOption wmv8;
    wmv8.name = QStringLiteral("wmv-profile");
    wmv8.valueName = QStringLiteral("NAME");
    wmv8.description = QStringLiteral("WMV 8 Profile, by name (WMV).");
    wmv8.appliesTo = [](Panel p) { return p == Panel::WMV; };
    wmv8.value = [](const OutputChoices& c, Panel, const engine::VideoEngineCore&) {
      return c.useWMV9 ? QString() : c.wmv8Profile;
    };
    wmv8.set = [](OutputChoices& c, Panel, const QString& value, const engine::VideoEngineCore& e) {
      const QStringList offered = convert::OfferedWMVProfiles(e.WMVProfiles());
      const int i = IndexOfName(offered, value);
      if (i < 0) return NotOneOf(value, offered);
      c.wmv8Profile = offered[i];
      c.useWMV9 = false;
      return QString();
    };
    o.push_back(wmv8);

    o.push_back(ListOption("wmv9-profile", "NAME", "Use WMV9 with this WMV 9 Profile, by name (WMV).", Panel::WMV,
                           [](const engine::VideoEngineCore&) {
                             QStringList names;
                             for (const auto& p : convert::WMV9Profiles()) names << p.name;
                             return names;
                           },
                           [](OutputChoices& c) -> int& {
                             c.useWMV9 = true;
                             return c.wmv9Profile;
                           }));
    // Shown without "Use WMV9": the WMV 8 profile is the one in use then.
    o.back().value = [](const OutputChoices& c, Panel, const engine::VideoEngineCore&) {
      return c.useWMV9 ? convert::WMV9Profiles().at(size_t(c.wmv9Profile)).name : QString();
    };

    ConvertOption bits;
    bits.name = QStringLiteral("bits");
    bits.valueName = QStringLiteral("BITS");
    bits.description = QStringLiteral("WAV sample size: 8 or 16.");
    bits.appliesTo = [](Panel p) { return p == Panel::WAV; };
    bits.value = [](const OutputChoices& c, Panel, const engine::VideoEngineCore&) {
      return c.wavBits == 0 ? QStringLiteral("8") : QStringLiteral("16");
    };
    bits.set = [](OutputChoices& c, Panel, const QString& value, const engine::VideoEngineCore&) {
      const QStringList names{"8 bit", "16 bit"};
      int i = IndexOfName(names, value);
      if (i < 0) i = IndexOfName(QStringList{"8", "16"}, value);
      if (i < 0) return NotOneOf(value, QStringList{"8", "16"});
      c.wavBits = i;
      return QString();
    };
    o.push_back(bits);
    return o;
  }();
  return options;
}

QString CheckChoices(const OutputChoices& choices, const QString& appDir) {
  // The page's own reads, against an engine with nothing to save: a field
  // it would refuse is refused here, with the page's words, before any work.
  engine::VideoEngineCore scratch;
  try {
    convert::ApplyFileSize(choices, scratch);
    convert::ApplyOutputSettings(choices, scratch, appDir);
    // The WAV and MP3 fields are read by the save itself; with an empty
    // timeline and no file it reads them and stops.
    if (convert::OutputFormats().at(size_t(choices.format)).save != convert::SaveMethod::Timeline)
      convert::SaveOutput(choices, scratch, QString());
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
  return {};
}

}  // namespace larkvale::cli
