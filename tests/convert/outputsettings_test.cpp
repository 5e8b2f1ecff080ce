// The format table, the settings-to-engine mapping and the Timeline's model,
// without a window (the engine is real; nothing is saved here).
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "convert/outputformats.h"
#include "convert/outputsettings.h"
#include "convert/timelinemodel.h"
#include "engine/videoengine.h"
#include "platform/errors.h"
#include "platform/rounding.h"

namespace larkvale::convert {
namespace {

TEST(OutputFormats, NineteenEntriesWithTheirTypesFiltersAndSaveMethods) {
  const auto& f = OutputFormats();
  // The 19, then the two formats of today and the join, after them.
  ASSERT_EQ(f.size(), 22u);
  QStringList entries;
  for (const auto& e : f) entries << e.entry;
  EXPECT_EQ(entries.join(','),
            "VCD_NTSC,VCD_PAL,SVCD_NTSC,SVCD_PAL,DVD_NTSC,DVD_PAL,MPEG 1,MPEG 2,AVI,WMV,QT,RM,iPod,PSP,FLV,3GP,Zune,"
            "WAV,MP3,MP4 (H.264, AAC),WebM (VP9, Opus),Join without re-encoding");
  EXPECT_EQ(f[19].panel, Panel::MP4);
  EXPECT_EQ(f[19].filter, "MP4 File (*.mp4)|*.mp4");
  EXPECT_EQ(f[20].panel, Panel::WebM);
  EXPECT_EQ(f[20].extension, "webm");
  EXPECT_EQ(f[21].save, SaveMethod::Join);
  EXPECT_EQ(JoinFormat(), 21);
  EXPECT_EQ(f[kDefaultFormat].entry, "AVI");
  for (int i = 0; i < 16; ++i) EXPECT_EQ(f[i].outputType, i) << i;
  EXPECT_EQ(f[16].outputType, 9);
  EXPECT_EQ(f[17].outputType, -1);
  EXPECT_EQ(f[18].outputType, -1);
  EXPECT_EQ(f[17].save, SaveMethod::Wav);
  EXPECT_EQ(f[18].save, SaveMethod::Mp3);
  for (int i = 0; i <= 16; ++i) EXPECT_EQ(f[i].save, SaveMethod::Timeline) << i;
  for (int i : {10, 11, 12, 13, 16}) EXPECT_EQ(f[i].panel, Panel::None) << i;
  EXPECT_EQ(f[15].filter, "Mobile File (*.3gp)|*.3gp");
  EXPECT_EQ(f[16].filter, "Zune (*.wmv)|*.wmv");
  EXPECT_EQ(f[12].extension, "mp4");
}

TEST(OutputFormats, DialogFilterKeepsDescriptionsThatNameTheirPatterns) {
  EXPECT_EQ(DialogFilter("Mpeg File (*.mpg)|*.mpg"), "Mpeg File (*.mpg)");
  EXPECT_EQ(DialogFilter("video|*.flv;*.avi|all|*.*"), "video (*.flv *.avi);;all (*.*)");
}

TEST(OutputFormats, DefaultCompressorsPreferMpeg4OverMjpegAndTheLastMatch) {
  const struct {
    QStringList names;
    int video;
  } cases[] = {
      {{"A", "MJPEG Compressor", "Microsoft MPEG-4 Video Codec V1", "B"}, 2},
      {{"Microsoft MPEG-4 Video Codec V1", "MJPEG Compressor"}, 0},
      {{"A", "MJPEG Compressor", "MJPEG Compressor"}, 2},
      {{"A", "mjpeg compressor"}, 0},
      {{"A", "B"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.names.join('|').toStdString());
    EXPECT_EQ(DefaultVideoCompressor(c.names), c.video);
  }
  EXPECT_EQ(DefaultAudioCompressor({"MPEG Layer-3", "PCM"}), 1);
  EXPECT_EQ(DefaultAudioCompressor({"MPEG Layer-3"}), 0);
  // Our engine has no MPEG-4 V1 encoder, so MJPEG is its default.
  engine::TVideoEngine engine;
  QStringList names;
  for (int i = 0; i < engine.VideoCompressors().Count(); ++i) names << engine.VideoCompressors().Name(i);
  EXPECT_EQ(names.value(DefaultVideoCompressor(names)), "MJPEG Compressor");
}

TEST(OutputFormats, HiddenWmvProfilesAreNotOffered) {
  const engine::TEngineCollection profiles({"A", "Hidden", "C"}, {false, true, false});
  EXPECT_EQ(OfferedWMVProfiles(profiles), QStringList({"A", "C"}));
  EXPECT_EQ(WMV9Profiles().size(), 12u);
  EXPECT_EQ(WMV9Profiles()[3].name, "LAN, Cable Modem, or xDSL  (100 to 768kbps)");
  EXPECT_EQ(WMV9Profiles()[10].file, "wmvhd1080p.prx");
}

TEST(Numbers, RoundHalfEvenAndTheTextsMadeFromIt) {
  const struct {
    double seconds;
    long long rounded;
    const char* duration;
  } cases[] = {{59.5, 60, "1 min 0 sec"}, {60.5, 60, "1 min 0 sec"}, {61.5, 62, "1 min 2 sec"},
               {125, 125, "2 min 5 sec"}, {0.4, 0, "0 min 0 sec"},  {0.5, 0, "0 min 0 sec"},
               {3599.6, 3600, "60 min 0 sec"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(platform::RoundHalfEven(c.seconds), c.rounded);
    EXPECT_EQ(DurationText(c.seconds), c.duration);
  }
    EXPECT_EQ(FrameRateText(25), "25");
  EXPECT_EQ(FrameRateText(29.97), QLocale().toString(29.97, 'g', 15));
  EXPECT_EQ(FrameRateText(1.0 / 3), QLocale().toString(0.333333333333333, 'g', 15));
}

TEST(Numbers, WholeNumberFieldsRefuseOtherTextWithTheTextInTheMessage) {
  EXPECT_EQ(ReadWholeNumber(" 320 "), 320);
  EXPECT_EQ(ReadWholeNumber("-5"), -5);
  for (const char* bad : {"", "abc", "32.5", "1e3", "99999999999", "0x10"}) {
    SCOPED_TRACE(bad);
    try {
      ReadWholeNumber(QString::fromLatin1(bad));
      ADD_FAILURE() << "accepted";
    } catch (const platform::EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(bad) + "' is not a valid integer value");
    }
  }
}

class Apply : public ::testing::Test {
 protected:
  engine::TVideoEngine engine;
  OutputChoices choices;
  AppliedOutput Run(int format) {
    choices.format = format;
    return ApplyOutputSettings(choices, engine, "/app/");
  }
};

TEST_F(Apply, AllTwelveRateFieldsGoToTheEngineWhateverTheFormat) {
  choices.flv = {"64000", "1", "22050", "300000"};
  choices.mpeg = {"192000", "1", "48000", "2000000"};
  choices.gp3AudioCodec = 1;
  choices.gp3VideoCodec = 1;
  choices.gp3AudioSampleRate = "8000";
  choices.gp3VideoBitrate = "128000";
  const AppliedOutput a = Run(10);  // QT, no panel of its own
  EXPECT_EQ(engine.FLVAudioBitrate, 64000);
  EXPECT_EQ(engine.FLVAudioChannels, 1);
  EXPECT_EQ(engine.FLVAudioSampleRate, 22050);
  EXPECT_EQ(engine.FLVVideoBitrate, 300000);
  EXPECT_EQ(engine.MPEGAudioBitrate, 192000);
  EXPECT_EQ(engine.MPEGAudioChannels, 1);
  EXPECT_EQ(engine.MPEGAudioSampleRate, 48000);
  EXPECT_EQ(engine.MPEGVideoBitrate, 2000000);
  EXPECT_EQ(engine.Video3GPAudioCodec, 1);
  EXPECT_EQ(engine.Video3GPVideoCodec, 1);
  EXPECT_EQ(engine.Video3GPAudioSampleRate, 8000);
  EXPECT_EQ(engine.Video3GPVideoBitrate, 128000);
  EXPECT_EQ(engine.OutputType, 10);
  EXPECT_EQ(a.filter, "QT File (*.mov)|*.mov");
  EXPECT_EQ(a.extension, "mov");
}

TEST_F(Apply, WavAfterFlvKeepsTheOutputTypeAndZuneUsesItsProfile) {
  Run(14);
  EXPECT_EQ(engine.OutputType, 14);
  EXPECT_EQ(Run(17).save, SaveMethod::Wav);
  EXPECT_EQ(engine.OutputType, 14);
  EXPECT_EQ(Run(18).save, SaveMethod::Mp3);
  EXPECT_EQ(engine.OutputType, 14);

  choices.useWMV9 = false;
  choices.wmv8Profile = engine.WMVProfiles().Name(2);
  Run(16);
  EXPECT_EQ(engine.OutputType, 9);
  EXPECT_EQ(engine.WMVCustomFileName(), "/app/zune.prx");
}

TEST_F(Apply, WmvProfileByNameOrByProfileFileWhicheverIsTicked) {
  // Pick a profile after a hidden one, so list position and engine index differ.
  int index = -1;
  bool hiddenSeen = false;
  for (int i = 0; i < engine.WMVProfiles().Count(); ++i) {
    if (engine.WMVProfiles().IsHidden(i)) hiddenSeen = true;
    else if (hiddenSeen) index = i;
  }
  ASSERT_GT(index, 0) << "the engine offers no profile after a hidden one";
  choices.wmv8Profile = engine.WMVProfiles().Name(index);
  choices.useWMV9 = true;
  choices.wmv9Profile = 9;
  Run(9);
  EXPECT_EQ(engine.WMVCustomFileName(), "/app/wmvhd720p.prx");
  choices.useWMV9 = false;
  Run(9);
  EXPECT_EQ(engine.WMVProfile(), index);
}

TEST_F(Apply, AviSettingsAndBadFieldsStopWhereTheyAreRead) {
  choices.videoCompressor = 1;
  choices.audioCompressor = 2;
  choices.useVideoCompressor = false;
  choices.frameRate = "15";
  Run(8);
  EXPECT_EQ(engine.VideoCompressor, 1);
  EXPECT_EQ(engine.AudioCompressor, 2);
  EXPECT_FALSE(engine.UseVideoCompressor);
  EXPECT_TRUE(engine.UseAudioCompressor);
  EXPECT_FLOAT_EQ(engine.FrameRate, 15);

  // The frame rate is read for AVI only.
  choices.frameRate = "-5";
  EXPECT_NO_THROW(Run(6));
  EXPECT_THROW(Run(8), platform::EConvertError);

  // A bad MPEG field: FLV properties before it are set, OutputType is not.
  choices.flv.audioBitrate = "96000";
  choices.mpeg.videoBitrate = "fast";
  engine.OutputType = 0;
  try {
    Run(14);
    ADD_FAILURE() << "no error";
  } catch (const platform::EConvertError& e) {
    EXPECT_STREQ(e.what(), "'fast' is not a valid integer value");
  }
  EXPECT_EQ(engine.FLVAudioBitrate, 96000);
  EXPECT_EQ(engine.OutputType, 0);

  for (const char* width : {"0", "100000", "-320"}) {
    SCOPED_TRACE(width);
    choices.width = width;
    EXPECT_THROW(ApplyFileSize(choices, engine), platform::EConvertError);
  }
}

// The message of the EConvertError that `f` throws, or "" when it throws none.
template <class F>
std::string Refusal(F&& f) {
  try {
    f();
  } catch (const platform::EConvertError& e) {
    return e.what();
  }
  return {};
}

// The text field of `choices` that feeds `field`.
QString& FieldText(OutputChoices& c, Field field) {
  switch (field) {
    case Field::FileWidth: return c.width;
    case Field::FileHeight: return c.height;
    case Field::FrameRate: return c.frameRate;
    case Field::MpegAudioBitrate: return c.mpeg.audioBitrate;
    case Field::MpegAudioChannels: return c.mpeg.audioChannels;
    case Field::MpegAudioSampleRate: return c.mpeg.audioSampleRate;
    case Field::MpegVideoBitrate: return c.mpeg.videoBitrate;
    case Field::FlvAudioBitrate: return c.flv.audioBitrate;
    case Field::FlvAudioChannels: return c.flv.audioChannels;
    case Field::FlvAudioSampleRate: return c.flv.audioSampleRate;
    case Field::FlvVideoBitrate: return c.flv.videoBitrate;
    case Field::Gp3AudioSampleRate: return c.gp3AudioSampleRate;
    case Field::Gp3VideoBitrate: return c.gp3VideoBitrate;
    case Field::WavAudioChannels: return c.wavChannels;
    case Field::WavAudioSampleRate: return c.wavSampleRate;
    case Field::Mp3AudioBitrate: return c.mp3Bitrate;
    case Field::Mp3AudioSampleRate: return c.mp3SampleRate;
    case Field::Mp4Quality: return c.mp4.quality;
    case Field::Mp4AudioBitrate: return c.mp4.audioBitrate;
    case Field::WebmQuality: return c.webm.quality;
    case Field::WebmAudioBitrate: return c.webm.audioBitrate;
  }
  ADD_FAILURE() << "no text for field " << int(field);
  return c.width;
}

// Steps 2 and 3 of a run and, for WAV and MP3, the save that reads their
// panel (on an empty timeline, so nothing is written).
std::string ConvertRefusal(const OutputChoices& choices) {
  engine::TVideoEngine engine;
  return Refusal([&] {
    ApplyFileSize(choices, engine);
    ApplyOutputSettings(choices, engine, "/app/");
    if (OutputFormats().at(size_t(choices.format)).save != SaveMethod::Timeline)
      SaveOutput(choices, engine, "/nonexistent/out");
  });
}

TEST(RangeChecks, OnlyTheSelectedFormatsPanelIsCheckedAndTheRefusalNamesPanelAndField) {
  ASSERT_EQ(ConvertRefusal(OutputChoices{}), "") << "the defaults must pass";
  const auto& formats = OutputFormats();
  for (const FieldRange& r : FieldRanges()) {
    for (const char* bad : {"0", "999999999"}) {
      for (int format = 0; format < int(formats.size()); ++format) {
        SCOPED_TRACE(std::string(r.label) + " = " + bad + ", format " + formats[size_t(format)].entry.toStdString());
        OutputChoices choices;
        choices.format = format;
        FieldText(choices, r.field) = QString::fromLatin1(bad);
        const std::string refusal = ConvertRefusal(choices);
        // Common fields (File Width, File Height) are used by every format.
        const bool used = r.panel == Panel::None || r.panel == formats[size_t(format)].panel;
        if (!used) {
          EXPECT_EQ(refusal, "");
          continue;
        }
        const std::string prefix =
            (r.panel == Panel::None ? "" : PanelName(r.panel).toStdString() + ": ") + r.label + " must be between ";
        EXPECT_EQ(refusal.substr(0, prefix.size()), prefix);
        EXPECT_TRUE(refusal.ends_with(".")) << refusal;
      }
    }
  }
}

TEST(RangeChecks, MessagesShowTheRangeInItsUnit) {
  const struct {
    int format;
    Field field;
    const char* text;
    const char* message;
  } cases[] = {
      {14, Field::FlvAudioBitrate, "0", "FLV: Audio bit rate must be between 8 and 320 kbit/s (is 0)."},
      {14, Field::FlvAudioBitrate, "7500", "FLV: Audio bit rate must be between 8 and 320 kbit/s (is 7.5)."},
      {0, Field::MpegAudioChannels, "3", "MPEG: Audio channels must be between 1 and 2 (is 3)."},
      {7, Field::MpegVideoBitrate, "-1000", "MPEG: Video bit rate must be between 100 and 80000 kbit/s (is -1)."},
      {15, Field::Gp3AudioSampleRate, "96000", "3GP: Audio sample rate must be between 8000 and 48000 Hz (is 96000)."},
      {8, Field::FrameRate, "121", "AVI: Frame Rate must be between 1 and 120 frames/s (is 121)."},
      {10, Field::FileHeight, "8", "File Height must be between 16 and 4096 pixels (is 8)."},
      {18, Field::Mp3AudioBitrate, "0", "MP3: Audio bit rate must be between 8 and 320 kbit/s (is 0)."},
      {19, Field::Mp4Quality, "52", "MP4: Quality (CRF) must be between 1 and 51 (is 52)."},
      {20, Field::WebmAudioBitrate, "600", "WebM: Audio bit rate must be between 6 and 510 kbit/s (is 600)."},
      // Not a whole number: refused on any panel, with the text as typed.
      {7, Field::FlvAudioBitrate, "128k", "'128k' is not a valid integer value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    OutputChoices choices;
    choices.format = c.format;
    FieldText(choices, c.field) = QString::fromLatin1(c.text);
    EXPECT_EQ(ConvertRefusal(choices), c.message);
  }
  // The limits themselves are allowed.
  for (const FieldRange& r : FieldRanges())
    for (int v : {r.minimum, r.maximum}) {
      SCOPED_TRACE(std::string(r.label) + " " + std::to_string(v));
      EXPECT_EQ(Refusal([&] { ReadField(r.field, QString::number(v), r.panel); }), "");
    }
}

TEST(RangeChecks, WavAndMp3NameTheFirstBadFieldInReadingOrder) {
  const struct {
    int format;
    const char *channels, *sampleRate, *bitrate;
    const char* message;
  } cases[] = {
      {17, "0", "0", nullptr, "WAV: Audio channels must be between 1 and 2 (is 0)."},
      {17, "x", "y", nullptr, "'x' is not a valid integer value"},
      {17, "2", "100", nullptr, "WAV: Audio sample rate must be between 8000 and 192000 Hz (is 100)."},
      {17, "3", "y", nullptr, "WAV: Audio channels must be between 1 and 2 (is 3)."},
      {18, nullptr, "0", "0", "MP3: Audio sample rate must be between 8000 and 48000 Hz (is 0)."},
      {18, nullptr, "s", "b", "'s' is not a valid integer value"},
      {18, nullptr, "44100", "b", "'b' is not a valid integer value"},
      {18, nullptr, "1", "b", "MP3: Audio sample rate must be between 8000 and 48000 Hz (is 1)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    OutputChoices choices;
    choices.format = c.format;
    if (c.format == 17) {
      choices.wavChannels = c.channels;
      choices.wavSampleRate = c.sampleRate;
    } else {
      choices.mp3SampleRate = c.sampleRate;
      choices.mp3Bitrate = c.bitrate;
    }
    EXPECT_EQ(ConvertRefusal(choices), c.message);
  }
}

TEST(Timeline, RowsKeepPathAndRoundedEndAndInsertAtTheirPlace) {
  TimelineModel model;
  EXPECT_EQ(model.Append("/a.flv", 59.5), 0);
  EXPECT_EQ(model.Append("/b.flv", 60.5), 1);
  EXPECT_EQ(model.Insert(1, "/c.avi", 2.4), 1);
  EXPECT_EQ(model.Insert(99, "/d.avi", 0), 3);
  ASSERT_EQ(model.Count(), 4);
  EXPECT_EQ(model.Path(1), "/c.avi");
  EXPECT_EQ(model.End(0), "60");
  EXPECT_EQ(model.End(1), "2");
  EXPECT_EQ(model.End(2), "60");
  EXPECT_EQ(model.Start(2), "0");
  EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "file");
  EXPECT_EQ(model.data(model.index(2, 2), Qt::DisplayRole).toString(), "60");
  QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
  model.Remove(0);
  model.Remove(7);  // nothing there
  EXPECT_EQ(removed.count(), 1);
  EXPECT_EQ(model.Path(0), "/c.avi");
}

}  // namespace
}  // namespace larkvale::convert
