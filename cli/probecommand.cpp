// larkvale probe FILE... [--json]: the figures the converter's preview shows
// for a file, from the same engine calls.

#include <QCommandLineParser>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

#include "cli/commandline.h"
#include "convert/outputformats.h"
#include "engine/probe.h"
#include "engine/videoenginecore.h"

namespace larkvale::cli {

int RunProbe(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Shows each file's duration, frame size and frame rate as the converter's preview shows them, "
      "or as JSON with --json (an array with one object a file; durations in seconds)."));
  parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Media files."), QStringLiteral("FILE..."));
  const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Write JSON to standard output."));
  parser.addOption(json);
  const QString command = QStringLiteral("probe");
  if (const int status = ParseSubcommand(parser, command, arguments); status >= 0) return status;
  const QStringList files = parser.positionalArguments();
  if (files.isEmpty()) {
    ReportError(command, QStringLiteral("no file given (see 'larkvale probe --help')"));
    return kBadUsage;
  }

  engine::VideoEngineCore engine;
  bool failed = false;
  QJsonArray all;
  for (const QString& file : files) {
    const QFileInfo info(file);
    if (!info.exists() || info.isDir() || !info.isReadable()) {
      ReportError(file, info.exists() ? QStringLiteral("cannot be read") : QStringLiteral("no such file"));
      failed = true;
      continue;
    }
    if (!engine::ProbeFile(file.toStdString()).ok) {
      ReportError(file, QStringLiteral("not a media file the converter can read"));
      failed = true;
      continue;
    }
    const double duration = engine.GetFileDuration(file);
    const short width = engine.GetFileWidth(file);
    const short height = engine.GetFileHeight(file);
    const double rate = engine.GetFileFrameRate(file);
    if (parser.isSet(json)) {
      all.append(QJsonObject{{"file", file},
                             {"duration", duration},
                             {"durationText", convert::DurationText(duration)},
                             {"width", width},
                             {"height", height},
                             {"frameRate", rate},
                             {"frameRateText", convert::FrameRateText(rate)}});
      continue;
    }
    const QString text = QStringLiteral("%1\n  Duration:   %2\n  Width:      %3\n  Height:     %4\n  Frame rate: %5\n")
                             .arg(file, convert::DurationText(duration))
                             .arg(width)
                             .arg(height)
                             .arg(convert::FrameRateText(rate));
    std::fputs(text.toLocal8Bit().constData(), stdout);
  }
  if (parser.isSet(json)) std::fputs(QJsonDocument(all).toJson(QJsonDocument::Indented).constData(), stdout);
  std::fflush(stdout);
  return failed ? kJobFailed : kSucceeded;
}

}  // namespace larkvale::cli
