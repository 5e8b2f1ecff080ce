// larkvale formats [--names]: the "Save as:" list and each format's options
// with their defaults.

#include <QCommandLineParser>
#include <cstdio>

#include "cli/commandline.h"
#include "cli/convertoptions.h"
#include "engine/videoenginecore.h"

namespace larkvale::cli {

int RunFormats(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Lists the output formats of 'larkvale convert -f FORMAT': the name to give, the \"Save as:\" "
      "entry, the file extension and the options the format takes, with their defaults."));
  const QCommandLineOption namesOnly(QStringLiteral("names"),
                                     QStringLiteral("Only the format names, one a line (for completion)."));
  parser.addOption(namesOnly);
  if (const int status = ParseSubcommand(parser, QStringLiteral("formats"), arguments); status >= 0) return status;
  if (!parser.positionalArguments().isEmpty()) {
    ReportError(parser.positionalArguments().at(0), QStringLiteral("formats takes no arguments"));
    return kBadUsage;
  }

  const auto& formats = convert::OutputFormats();
  QString text;
  if (parser.isSet(namesOnly)) {
    for (size_t i = 0; i < formats.size(); ++i) text += FormatCommandName(int(i)) + QLatin1Char('\n');
  } else {
    engine::VideoEngineCore engine;
    const convert::OutputChoices defaults = PageDefaults(engine);
    for (size_t i = 0; i < formats.size(); ++i) {
      const convert::OutputFormat& f = formats[i];
      // A join writes the first input's container, whatever it is.
      const QString extension = f.extension.isEmpty() ? QStringLiteral("(the first input's)") : QLatin1Char('.') + f.extension;
      text += QStringLiteral("%1  %2  %3\n").arg(FormatCommandName(int(i)), -10).arg(f.entry, -10).arg(extension);
      for (const ConvertOption& o : ConvertOptions()) {
        if (!o.appliesTo(f.panel) || f.save == convert::SaveMethod::Join) continue;
        const QString flag = QStringLiteral("--") + o.name + (o.valueName.isEmpty() ? QString() : QLatin1Char(' ') + o.valueName);
        const QString value = o.value(defaults, f.panel, engine);
        text += QStringLiteral("    %1 %2\n").arg(flag, -26).arg(value.isEmpty() ? QStringLiteral("(not set)")
                                                                              : QStringLiteral("default: ") + value);
      }
    }
    // The lists the AVI compressor options choose from.
    text += QStringLiteral("\nAVI video compressors (--video-compressor):\n");
    for (int i = 0; i < engine.VideoCompressors().Count(); ++i)
      text += QStringLiteral("    ") + engine.VideoCompressors().Name(i) + QLatin1Char('\n');
    text += QStringLiteral("AVI audio compressors (--audio-compressor):\n");
    for (int i = 0; i < engine.AudioCompressors().Count(); ++i)
      text += QStringLiteral("    ") + engine.AudioCompressors().Name(i) + QLatin1Char('\n');
  }
  std::fputs(text.toLocal8Bit().constData(), stdout);
  std::fflush(stdout);
  return kSucceeded;
}

}  // namespace larkvale::cli
