#pragma once
// The command line's subcommands and what they share: exit statuses, the
// one-line error report and the parsing of a subcommand's options.

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

namespace larkvale::cli {

// Exit statuses: a job that failed ends the run with kJobFailed once every
// job has been tried; bad usage stops before any job starts.
inline constexpr int kSucceeded = 0;
inline constexpr int kJobFailed = 1;
inline constexpr int kBadUsage = 2;

// "larkvale: <what>: <text>" on standard error, one line: `what` names the
// input (an address, a file, an option) the error is about.
void ReportError(const QString& what, const QString& text);

// Parses `arguments` (the subcommand's name first, then its own arguments)
// with `parser`, to which --help has been added here. Returns -1 when the
// command should go on, otherwise the exit status: kSucceeded after printing
// the help, kBadUsage after reporting the parse error.
int ParseSubcommand(QCommandLineParser& parser, const QString& command, const QStringList& arguments);

// The whole command line, `arguments` as QCoreApplication::arguments().
int RunCommandLine(const QStringList& arguments);

int RunDownload(const QStringList& arguments);
int RunConvert(const QStringList& arguments);
int RunProbe(const QStringList& arguments);
int RunFormats(const QStringList& arguments);

}  // namespace larkvale::cli
