#pragma once
// The converter's output strip: "Save as:", the size and frame-rate fields,
// and one settings panel per kind of format, of which only the chosen
// format's is shown. Number fields stay text: the conversion run reads them.

#include <QWidget>

#include "convert/outputsettings.h"
#include "platform/services.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLineEdit;

namespace larkvale::engine {
class TVideoEngine;
}

namespace larkvale::app {

class OutputStrip : public QWidget {
  Q_OBJECT

 public:
  explicit OutputStrip(const platform::Services& services, QWidget* parent = nullptr);

  // The panel of the chosen format, the others hidden.
  void showFormatPanel();
  // The compressors and WMV profiles the engine offers, with their defaults.
  void fillEngineLists(const engine::TVideoEngine& engine);
  // What the user set, for the conversion run.
  convert::OutputChoices choices() const;
  // Shows stored choices. An index outside a list (the engine's lists are
  // filled only at the first activation) or a profile name the list lacks
  // leaves that list as it is.
  void setChoices(const convert::OutputChoices& choices);

 signals:
  // A field, a list or a check box changed.
  void choicesChanged();

 private:
  // The steps of building the strip: "Save as:" with the fields every
  // format shares, one settings panel per format, and the wiring that shows
  // the chosen format's panel and reports any change of a choice.
  QGridLayout* buildCommonFields();
  QWidget* buildFormatPanels();
  void connectChoices();
  void useWmv9Changed();

  const platform::Services& services_;
  QComboBox* format_ = nullptr;
  QLineEdit* fileWidth_ = nullptr;
  QLineEdit* fileHeight_ = nullptr;
  QLineEdit* fileFrameRate_ = nullptr;
  QWidget* mpegPanel_ = nullptr;
  QWidget* flvPanel_ = nullptr;
  QWidget* gp3Panel_ = nullptr;
  QWidget* aviPanel_ = nullptr;
  QWidget* wmvPanel_ = nullptr;
  QWidget* wavPanel_ = nullptr;
  QWidget* mp3Panel_ = nullptr;
  // Audio bit rate, channels, sample rate, video bit rate.
  QLineEdit* mpegFields_[4] = {};
  QLineEdit* flvFields_[4] = {};
  QComboBox* gp3Audio_ = nullptr;
  QComboBox* gp3Video_ = nullptr;
  QLineEdit* gp3SampleRate_ = nullptr;
  QLineEdit* gp3VideoBitrate_ = nullptr;
  QCheckBox* useVideoCompressor_ = nullptr;
  QCheckBox* useAudioCompressor_ = nullptr;
  QComboBox* videoCompressor_ = nullptr;
  QComboBox* audioCompressor_ = nullptr;
  QCheckBox* useWmv9_ = nullptr;
  QComboBox* wmv8Profile_ = nullptr;
  QComboBox* wmv9Profile_ = nullptr;
  QComboBox* wavBits_ = nullptr;
  QLineEdit* wavChannels_ = nullptr;
  QLineEdit* wavSampleRate_ = nullptr;
  QLineEdit* mp3Bitrate_ = nullptr;
  QLineEdit* mp3Channels_ = nullptr;
  QLineEdit* mp3SampleRate_ = nullptr;
  // MP4 and WebM: quality, audio bit rate, source size.
  struct QualityPanel {
    QWidget* panel = nullptr;
    QLineEdit* quality = nullptr;
    QLineEdit* audioBitrate = nullptr;
    QCheckBox* sourceSize = nullptr;
  };
  QualityPanel mp4_, webm_;
  QCheckBox* eachEntry_ = nullptr;  // "One file per entry", beside Convert
};

}  // namespace larkvale::app
