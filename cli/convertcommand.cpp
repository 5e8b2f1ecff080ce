// larkvale convert IN... -f FORMAT -o OUT [options]: the converter page's
// conversion run on a Timeline of the inputs, without the window.

#include <QCommandLineParser>
#include <QFileInfo>
#include <cstdio>
#include <vector>

#include "cli/commandline.h"
#include "cli/convertoptions.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "convert/conversionrun.h"
#include "convert/timelinemodel.h"
#include "engine/probe.h"
#include "engine/videoenginecore.h"
#include "platform/dialogs.h"
#include "platform/errorreport.h"
#include "platform/help.h"
#include "platform/services.h"

namespace larkvale::cli {

namespace {

// The run's dialogs without a window: the save dialog answers with the
// output named on the command line; messages and error reports are kept
// for the one error line.
class CommandLineDialogs : public platform::Dialogs {
 public:
  explicit CommandLineDialogs(QString output) : output_(std::move(output)) {}
  void ShowError(const QString&, const QString& text) override { said_ = text; }
  void ShowMessage(const QString&, const QString& text) override { said_ = text; }
  QStringList GetOpenFileNames(const QString&, const QString&, const QString&) override { return {}; }
  QString GetSaveFileName(const QString&, const QString&, const QString&, const QString&) override { return output_; }
  // One file per input: the output names the folder.
  QString ChooseFolder(const QString&, const QString&) override { return output_; }
  // Nobody to ask: a conversion never needs a yes or no.
  bool AskYesNo(const QString&, const QString&) override { return false; }
  const QString& Said() const { return said_; }

 private:
  QString output_;
  QString said_;
};

// Help topics need the window's help viewer; on the command line the error
// line says it all.
class NoHelp : public platform::Help {
 public:
  void SetHelpFile(const QString&) override {}
  void ShowContents() override {}
  void ShowTopic(int) override {}
};

}  // namespace

int RunConvert(const QStringList& arguments) {
  const auto& formats = convert::OutputFormats();
  QCommandLineParser parser;
  QString description = QStringLiteral(
      "Joins the input files in order, as the converter's Timeline does, and converts them into one "
      "output file. FORMAT is a \"Save as:\" entry, matched without regard to case (");
  for (size_t i = 0; i < formats.size(); ++i)
    description += (i ? QStringLiteral(", ") : QString()) + FormatCommandName(int(i));
  description += QStringLiteral(
      "). Each option is a setting of the format's panel, with the converter page's default and range; "
      "'larkvale formats' shows which options each format takes. Ctrl+C stops the conversion and "
      "writes nothing.");
  parser.setApplicationDescription(description);
  parser.addPositionalArgument(QStringLiteral("IN"), QStringLiteral("Media files, in order."),
                               QStringLiteral("IN..."));
  const QCommandLineOption format({QStringLiteral("f"), QStringLiteral("format")},
                                  QStringLiteral("The output format."), QStringLiteral("FORMAT"));
  const QCommandLineOption output({QStringLiteral("o"), QStringLiteral("output")},
                                  QStringLiteral("The output file."), QStringLiteral("OUT"));
  const QCommandLineOption copy(QStringLiteral("copy"),
                                QStringLiteral("Join without re-encoding: copy the inputs' streams one after the other "
                                               "into the first input's container (the same as -f copy). They must "
                                               "have the same codecs, sizes and rates."));
  const QCommandLineOption each(QStringLiteral("each"),
                                QStringLiteral("One file per input: OUT is a folder, and each input becomes its own "
                                               "file there, named after it, never overwriting one."));
  parser.addOption(format);
  parser.addOption(output);
  parser.addOption(copy);
  parser.addOption(each);
  for (const ConvertOption& o : ConvertOptions())
    parser.addOption(o.valueName.isEmpty() ? QCommandLineOption(o.name, o.description)
                                           : QCommandLineOption(o.name, o.description, o.valueName));

  const QString command = QStringLiteral("convert");
  if (const int status = ParseSubcommand(parser, command, arguments); status >= 0) return status;
  const QStringList inputs = parser.positionalArguments();
  if (inputs.isEmpty()) {
    ReportError(command, QStringLiteral("no input file given (see 'larkvale convert --help')"));
    return kBadUsage;
  }
  if (!parser.isSet(format) && !parser.isSet(copy)) {
    ReportError(command, QStringLiteral("-f FORMAT or --copy is required (see 'larkvale formats')"));
    return kBadUsage;
  }
  if (parser.isSet(format) && parser.isSet(copy) && FindFormat(parser.value(format)) != convert::JoinFormat()) {
    ReportError(QStringLiteral("--copy"), QStringLiteral("joins without re-encoding; it takes no -f FORMAT"));
    return kBadUsage;
  }
  if (parser.isSet(copy) && parser.isSet(each)) {
    ReportError(QStringLiteral("--each"), QStringLiteral("--copy makes one file of all inputs"));
    return kBadUsage;
  }
  if (!parser.isSet(output)) {
    ReportError(command, QStringLiteral("-o OUT is required"));
    return kBadUsage;
  }
  const int formatIndex = parser.isSet(copy) ? convert::JoinFormat() : FindFormat(parser.value(format));
  if (formatIndex < 0) {
    ReportError(parser.value(format), QStringLiteral("unknown format (see 'larkvale formats')"));
    return kBadUsage;
  }
  const convert::OutputFormat& chosen = formats.at(size_t(formatIndex));
  const QString appDir = platform::Environment::FromProcess().appDir;

  engine::VideoEngineCore engine;
  const convert::OutputChoices defaults = [&] {
    convert::OutputChoices c = PageDefaults(engine);
    c.format = formatIndex;
    c.eachEntry = parser.isSet(each);
    return c;
  }();
  convert::OutputChoices choices = defaults;
  for (const ConvertOption& o : ConvertOptions()) {
    if (!parser.isSet(o.name)) continue;
    const QString value = parser.value(o.name);
    const QString named = QStringLiteral("--") + o.name + (o.valueName.isEmpty() ? QString() : QLatin1Char(' ') + value);
    // A join copies the streams as they are: no setting applies to it.
    if (!o.appliesTo(chosen.panel) || chosen.save == convert::SaveMethod::Join) {
      ReportError(QStringLiteral("--") + o.name, QStringLiteral("does not apply to ") + chosen.entry);
      return kBadUsage;
    }
    QString refused = o.set(choices, chosen.panel, value, engine);
    // Each option on its own over the defaults, so that the error names it.
    if (refused.isEmpty()) {
      convert::OutputChoices alone = defaults;
      o.set(alone, chosen.panel, value, engine);
      refused = CheckChoices(alone, appDir);
    }
    if (!refused.isEmpty()) {
      ReportError(named, refused);
      return kBadUsage;
    }
  }

  // One probe of each input tells both whether it is media and its length.
  // A join decodes nothing, so an MP4's header is enough for it.
  engine.SetHeaderProbes(formatIndex == convert::JoinFormat());
  bool unreadable = false;
  std::vector<double> lengths;
  for (const QString& input : inputs) {
    const QFileInfo info(input);
    QString problem;
    engine::MediaInfo probed;
    if (!info.exists())
      problem = QStringLiteral("no such file");
    else if (info.isDir() || !info.isReadable())
      problem = QStringLiteral("cannot be read");
    else if (probed = engine.Probe(input); !probed.ok)
      problem = QStringLiteral("not a media file the converter can read");
    if (!problem.isEmpty()) {
      ReportError(input, problem);
      unreadable = true;
    }
    lengths.push_back(probed.duration);
  }
  if (unreadable) return kJobFailed;
  if (Interrupted()) EndAsInterrupted();

  convert::TimelineModel timeline;
  for (int i = 0; i < inputs.size(); ++i) timeline.Append(inputs[i], lengths[size_t(i)]);

  const QFileInfo out(parser.value(output));
  if (parser.isSet(each) && !out.isDir()) {
    ReportError(out.filePath(), QStringLiteral("--each writes into a folder, and this is none"));
    return kBadUsage;
  }
  CommandLineDialogs dialogs(out.absoluteFilePath());
  NoHelp help;
  bool busy = false;
  convert::ConversionRun run(engine, timeline, busy, dialogs, help, QStringLiteral("larkvale"));
  ProgressLine line(parser.isSet(each) ? out.absoluteFilePath() + QLatin1Char('/') : out.fileName(),
                    ProgressLine::Unit::Seconds, ProgressLine::StandardErrorIsTerminal());
  int total = 0;
  run.OnMaximum = [&](int seconds) {
    total = seconds;
    line.SetTotal(seconds);
  };
  run.OnPosition = [&](int seconds) {
    line.SetDone(seconds);
    // The run's own abort: the engine drops its temporary file and leaves
    // the output as it was.
    if (Interrupted()) run.AbortForClose();
  };
  const auto outcome = run.Run(choices, appDir, out.absolutePath());
  using Outcome = convert::ConversionRun::Outcome;
  switch (outcome) {
    case Outcome::Saved:
      line.SetDone(total);
      line.Finish(QStringLiteral("done"));
      // One file per input: each file written, one a line, for scripts.
      for (const QString& file : run.OutputFiles()) std::printf("%s\n", qPrintable(file));
      std::fflush(stdout);
      return kSucceeded;
    case Outcome::NotJoinable:
      ReportError(inputs.join(QLatin1Char(' ')), dialogs.Said());
      return kJobFailed;
    case Outcome::Aborted:
      line.Finish(parser.isSet(each) ? QStringLiteral("stopped; the files done are kept, nothing else written")
                                     : QStringLiteral("stopped; nothing written"));
      EndAsInterrupted();
    case Outcome::Failed:
      line.Finish(QStringLiteral("failed"));
      ReportError(out.filePath(), dialogs.Said() + QStringLiteral(": ") + engine.LastError());
      return kJobFailed;
    case Outcome::EmptyTimeline:
      ReportError(inputs.join(QLatin1Char(' ')), dialogs.Said());
      return kJobFailed;
    default:
      ReportError(out.filePath(), dialogs.Said().isEmpty() ? QStringLiteral("the conversion did not run")
                                                           : dialogs.Said());
      return kJobFailed;
  }
}

}  // namespace larkvale::cli
