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

namespace {

// The command's own options, beside the format panels' settings.
struct ConvertFlags {
  QCommandLineOption format{{QStringLiteral("f"), QStringLiteral("format")}, QStringLiteral("The output format."),
                            QStringLiteral("FORMAT")};
  QCommandLineOption output{{QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("The output file."),
                            QStringLiteral("OUT")};
  QCommandLineOption copy{QStringLiteral("copy"),
                          QStringLiteral("Join without re-encoding: copy the inputs' streams one after the other "
                                         "into the first input's container (the same as -f copy). They must "
                                         "have the same codecs, sizes and rates.")};
  QCommandLineOption each{QStringLiteral("each"),
                          QStringLiteral("One file per input: OUT is a folder, and each input becomes its own "
                                         "file there, named after it, never overwriting one.")};
};

void DescribeCommand(QCommandLineParser& parser, const ConvertFlags& flags) {
  const auto& formats = convert::OutputFormats();
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
  parser.addOption(flags.format);
  parser.addOption(flags.output);
  parser.addOption(flags.copy);
  parser.addOption(flags.each);
  for (const ConvertOption& o : ConvertOptions())
    parser.addOption(o.valueName.isEmpty() ? QCommandLineOption(o.name, o.description)
                                           : QCommandLineOption(o.name, o.description, o.valueName));
}

// The format asked for, or -1 with the error line said and `*status` set.
int ChooseFormat(const QCommandLineParser& parser, const ConvertFlags& flags, int* status) {
  const QString command = QStringLiteral("convert");
  *status = kBadUsage;
  if (parser.positionalArguments().isEmpty()) {
    ReportError(command, QStringLiteral("no input file given (see 'larkvale convert --help')"));
    return -1;
  }
  if (!parser.isSet(flags.format) && !parser.isSet(flags.copy)) {
    ReportError(command, QStringLiteral("-f FORMAT or --copy is required (see 'larkvale formats')"));
    return -1;
  }
  if (parser.isSet(flags.format) && parser.isSet(flags.copy) &&
      FindFormat(parser.value(flags.format)) != convert::JoinFormat()) {
    ReportError(QStringLiteral("--copy"), QStringLiteral("joins without re-encoding; it takes no -f FORMAT"));
    return -1;
  }
  if (parser.isSet(flags.copy) && parser.isSet(flags.each)) {
    ReportError(QStringLiteral("--each"), QStringLiteral("--copy makes one file of all inputs"));
    return -1;
  }
  if (!parser.isSet(flags.output)) {
    ReportError(command, QStringLiteral("-o OUT is required"));
    return -1;
  }
  const int formatIndex = parser.isSet(flags.copy) ? convert::JoinFormat() : FindFormat(parser.value(flags.format));
  if (formatIndex < 0)
    ReportError(parser.value(flags.format), QStringLiteral("unknown format (see 'larkvale formats')"));
  return formatIndex;
}

// The panel's settings from the options given, each checked on its own over
// the defaults so that the error names it; false once one is refused.
bool ApplyOptions(const QCommandLineParser& parser, const convert::OutputFormat& chosen, const QString& appDir,
                  engine::VideoEngineCore& engine, const convert::OutputChoices& defaults,
                  convert::OutputChoices& choices) {
  for (const ConvertOption& o : ConvertOptions()) {
    if (!parser.isSet(o.name)) continue;
    const QString value = parser.value(o.name);
    const QString named = QStringLiteral("--") + o.name + (o.valueName.isEmpty() ? QString() : QLatin1Char(' ') + value);
    // A join copies the streams as they are: no setting applies to it.
    if (!o.appliesTo(chosen.panel) || chosen.save == convert::SaveMethod::Join) {
      ReportError(QStringLiteral("--") + o.name, QStringLiteral("does not apply to ") + chosen.entry);
      return false;
    }
    QString refused = o.set(choices, chosen.panel, value, engine);
    if (refused.isEmpty()) {
      convert::OutputChoices alone = defaults;
      o.set(alone, chosen.panel, value, engine);
      refused = CheckChoices(alone, appDir);
    }
    if (!refused.isEmpty()) {
      ReportError(named, refused);
      return false;
    }
  }
  return true;
}

// One probe of each input tells both whether it is media and its length;
// false when any cannot be read, each named on its own line.
bool ProbeInputs(engine::VideoEngineCore& engine, const QStringList& inputs, std::vector<double>& lengths) {
  bool unreadable = false;
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
  return !unreadable;
}

// The run's end as the exit status and its lines.
int Report(convert::ConversionRun::Outcome outcome, convert::ConversionRun& run, const CommandLineDialogs& dialogs,
           const engine::VideoEngineCore& engine, ProgressLine& line, int total, const QStringList& inputs,
           const QFileInfo& out, bool each) {
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
      line.Finish(each ? QStringLiteral("stopped; the files done are kept, nothing else written")
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

}  // namespace

int RunConvert(const QStringList& arguments) {
  QCommandLineParser parser;
  const ConvertFlags flags;
  DescribeCommand(parser, flags);
  if (const int status = ParseSubcommand(parser, QStringLiteral("convert"), arguments); status >= 0) return status;
  int status = kBadUsage;
  const int formatIndex = ChooseFormat(parser, flags, &status);
  if (formatIndex < 0) return status;
  const QStringList inputs = parser.positionalArguments();
  const bool each = parser.isSet(flags.each);
  const convert::OutputFormat& chosen = convert::OutputFormats().at(size_t(formatIndex));
  const QString appDir = platform::Environment::FromProcess().appDir;

  engine::VideoEngineCore engine;
  convert::OutputChoices defaults = PageDefaults(engine);
  defaults.format = formatIndex;
  defaults.eachEntry = each;
  convert::OutputChoices choices = defaults;
  if (!ApplyOptions(parser, chosen, appDir, engine, defaults, choices)) return kBadUsage;

  // A join decodes nothing, so an MP4's header is enough for it.
  engine.SetHeaderProbes(formatIndex == convert::JoinFormat());
  std::vector<double> lengths;
  if (!ProbeInputs(engine, inputs, lengths)) return kJobFailed;
  if (Interrupted()) EndAsInterrupted();

  convert::TimelineModel timeline;
  for (int i = 0; i < inputs.size(); ++i) timeline.Append(inputs[i], lengths[size_t(i)]);

  const QFileInfo out(parser.value(flags.output));
  if (each && !out.isDir()) {
    ReportError(out.filePath(), QStringLiteral("--each writes into a folder, and this is none"));
    return kBadUsage;
  }
  CommandLineDialogs dialogs(out.absoluteFilePath());
  NoHelp help;
  bool busy = false;
  convert::ConversionRun run(engine, timeline, busy, dialogs, help, QStringLiteral("larkvale"));
  ProgressLine line(each ? out.absoluteFilePath() + QLatin1Char('/') : out.fileName(), ProgressLine::Unit::Seconds,
                    ProgressLine::StandardErrorIsTerminal());
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
  return Report(outcome, run, dialogs, engine, line, total, inputs, out, each);
}

}  // namespace larkvale::cli
