#pragma once
// The converter page's output strip as command-line options: the format
// names of "Save as:" and one option per panel setting, with the page's
// defaults and its range checks.

#include <QString>
#include <functional>
#include <vector>

#include "convert/outputformats.h"
#include "convert/outputsettings.h"

namespace larkvale::engine {
class VideoEngineCore;
}

namespace larkvale::cli {

// The command-line name of format `index`: its "Save as:" entry in lower
// case with blanks and underscores as "-" ("dvd-pal", "mpeg-1", "ipod").
QString FormatCommandName(int index);
// The format whose entry matches `name` without regard to case, "-", "_"
// and blanks counting alike ("ipod", "DVD-PAL", "dvd_pal", "mpeg1"), or one
// of the few longer aliases ("quicktime"); -1 when none does.
int FindFormat(const QString& name);

// The choices a fresh converter page starts with, its compressor and WMV 8
// lists filled from `engine`.
convert::OutputChoices PageDefaults(const engine::VideoEngineCore& engine);

struct ConvertOption {
  QString name;       // without the dashes: "audio-bitrate"
  QString valueName;  // empty for a switch
  QString description;
  // Whether the option belongs to the panel the format shows.
  std::function<bool(convert::Panel)> appliesTo;
  // The value as the option takes it, for the format list.
  std::function<QString(const convert::OutputChoices&, convert::Panel, const engine::VideoEngineCore&)> value;
  // Sets the choice; the error text when `value` is not one the option
  // takes (number fields are checked by `CheckChoices`).
  std::function<QString(convert::OutputChoices&, convert::Panel, const QString& value,
                        const engine::VideoEngineCore&)>
      set;
};
const std::vector<ConvertOption>& ConvertOptions();

// The page's own range checks on `choices`: the error text of the first
// field it refuses, empty when all are accepted.
QString CheckChoices(const convert::OutputChoices& choices, const QString& appDir);

}  // namespace larkvale::cli
