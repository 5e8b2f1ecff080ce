#include "cli/commandline.h"

#include <QCoreApplication>
#include <cstdio>

namespace larkvale::cli {

namespace {

struct Subcommand {
  const char* name;
  const char* summary;
  int (*run)(const QStringList&);
};

const Subcommand kSubcommands[] = {
    {"download", "Fetch watch pages and download their videos: download URL... [-o DIR]", RunDownload},
    {"convert", "Join media files and convert them: convert IN... -f FORMAT -o OUT [options]", RunConvert},
    {"probe", "Show the duration, size and frame rate of media files: probe FILE... [--json]", RunProbe},
    {"formats", "List the output formats and their options", RunFormats},
};

void Print(std::FILE* out, const QString& text) {
  std::fputs(text.toLocal8Bit().constData(), out);
  std::fflush(out);
}

}  // namespace

void ReportError(const QString& what, const QString& text) {
  QString line = QStringLiteral("larkvale: ");
  if (!what.isEmpty()) line += what + QStringLiteral(": ");
  // One line, whatever the message holds.
  line += QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
  Print(stderr, line + QLatin1Char('\n'));
}

int ParseSubcommand(QCommandLineParser& parser, const QString& command, const QStringList& arguments) {
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                QStringLiteral("Show this help and exit."));
  parser.addOption(help);
  // The parser skips the first word as the program's name: here that is
  // the subcommand, so the positional arguments are the subcommand's own.
  if (!parser.parse(arguments)) {
    ReportError(command, parser.errorText());
    return kBadUsage;
  }
  if (parser.isSet(help)) {
    // The usage line names the program; the subcommand goes after it.
    QString text = parser.helpText();
    const auto at = text.indexOf(QStringLiteral("[options]"));
    if (at >= 0) text.insert(at, command + QLatin1Char(' '));
    Print(stdout, text);
    return kSucceeded;
  }
  return -1;
}

int RunCommandLine(const QStringList& arguments) {
  QCommandLineParser parser;
  QString description = QStringLiteral(
      "Larkvale_HD on the command line: download videos from watch pages and convert media files, "
      "without the window.\n\nCommands:\n");
  for (const Subcommand& s : kSubcommands)
    description += QStringLiteral("  %1  %2\n").arg(QLatin1String(s.name), -9).arg(QLatin1String(s.summary));
  description += QStringLiteral(
      "\n'larkvale COMMAND --help' shows a command's options.\n"
      "Exit status: 0 success, 1 a job failed, 2 bad usage.");
  parser.setApplicationDescription(description);
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("One of the commands above."),
                               QStringLiteral("COMMAND [ARGUMENTS...]"));
  // Options after the command belong to it.
  parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);

  if (!parser.parse(arguments)) {
    ReportError({}, parser.errorText());
    return kBadUsage;
  }
  const QStringList rest = parser.positionalArguments();
  if (rest.isEmpty()) {
    if (parser.isSet(version)) {
      Print(stdout, QStringLiteral("larkvale %1\n").arg(QCoreApplication::applicationVersion()));
      return kSucceeded;
    }
    if (parser.isSet(help)) {
      Print(stdout, parser.helpText());
      return kSucceeded;
    }
    Print(stderr, parser.helpText());
    return kBadUsage;
  }
  for (const Subcommand& s : kSubcommands)
    if (rest.first() == QLatin1String(s.name)) return s.run(rest);
  ReportError(rest.first(), QStringLiteral("unknown command (see 'larkvale --help')"));
  return kBadUsage;
}

}  // namespace larkvale::cli
