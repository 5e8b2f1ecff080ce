// The work scripts/crash-safety.sh kills with SIGKILL, done by the real window
// and engine with the desktop seams scripted (no real dialogs):
//
//   crash_worker start <root>               open the window on <root>'s home and config, run 2 s,
//                                           print every box it showed; exit 1 if it showed any
//   crash_worker settings <root> <a> <b>    "Change dir" to <a>, <b>, <a>, ... until killed
//   crash_worker download <root> <url>      one row with <url>, start the downloads (killed during it)
//   crash_worker resume <root>              open the window on <root> as a fresh start: print the
//                                           restored rows, let the downloads run until no row is
//                                           left to fetch (at most 120 s), print the rows again
//   crash_worker convert <input> <target>   the engine saves <input> as MPEG 2 to <target>
//
// It prints "ready" once the work is under way, so the script knows when to kill.

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <cstdio>
#include <cstring>

#include "app/downloadspanel.h"
#include "app/mainwindow.h"
#include "engine/videoengine.h"
#include "queue/downloadlist.h"
#include "queue/queuerunner.h"
#include "support/fakes.h"

namespace {

using larkvale::testing::FakeClipboard;
using larkvale::testing::RecordingHelp;
using larkvale::testing::RecordingShell;
using larkvale::testing::ScriptedDialogs;

struct Desktop {
  explicit Desktop(const QString& root) {
    QDir().mkpath(root + "/home");
    services.dialogs = &dialogs;
    services.clipboard = &clipboard;
    services.shell = &shell;
    services.help = &help;
    services.environment.homeDir = root + "/home";
    services.environment.configHome = root + "/config";
    services.environment.dataHome = root + "/data";
    services.environment.appDir = QStringLiteral(LARKVALE_APPDIR);
  }
  ScriptedDialogs dialogs;
  FakeClipboard clipboard;
  RecordingShell shell;
  RecordingHelp help;
  larkvale::platform::Services services;
};

void Ready() {
  std::printf("ready\n");
  std::fflush(stdout);
}

// One line per row: `label` index state file.
void PrintRows(const char* label, const larkvale::queue::DownloadList& list) {
  static const char* const names[] = {"waiting", "downloading", "stopped", "failed", "done"};
  for (int r = 0; r < list.RowCount(); ++r)
    std::printf("%s %d %s %s\n", label, r, names[static_cast<int>(list.State(r))],
                qPrintable(list.CellText(larkvale::queue::colFile, r)));
  std::fflush(stdout);
}

int Usage() {
  std::fprintf(stderr, "usage: crash_worker start|settings|download|resume|convert ...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Nothing here may leave 127.0.0.1.
  qputenv("LARKVALE_START_PAGE", "about:blank");
  qputenv("LARKVALE_HOME_PAGE", "about:blank");
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Larkvale_HD"));
  const QString mode = QString::fromLocal8Bit(argv[1]);

  if (mode == "convert") {
    if (argc < 4) return Usage();
    const QString input = QString::fromLocal8Bit(argv[2]);
    larkvale::engine::TVideoEngine engine;
    engine.OutputType = 7;  // MPEG 2
    engine.OutputFileWidth = 640;
    engine.OutputFileHeight = 360;
    const double d = engine.GetFileDuration(input);
    engine.AddVideo(input, 0, d, 0);
    engine.AddAudio(input, 0, d);
    Ready();
    const bool ok = engine.SaveTimeline(QString::fromLocal8Bit(argv[3]));
    std::printf("%s\n", ok ? "saved" : qPrintable("failed: " + engine.LastError()));
    return ok ? 0 : 1;
  }

  Desktop desktop(QString::fromLocal8Bit(argv[2]));
  larkvale::app::MainWindow form(desktop.services);
  if (mode == "resume") PrintRows("restored", *form.state().downloadList);  // before the first activation
  form.show();
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();

  if (mode == "start") {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 2000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::printf("video folder %s\nflv folder %s\n", qPrintable(form.state().videoDir), qPrintable(form.state().flvDir));
    for (const auto& s : desktop.dialogs.shown) std::printf("%s box: %s\n", qPrintable(s.kind), qPrintable(s.text));
    std::printf("boxes shown: %d\n", static_cast<int>(desktop.dialogs.shown.size()));
    return desktop.dialogs.shown.empty() ? 0 : 1;
  }
  if (mode == "settings") {
    if (argc < 5) return Usage();
    for (long i = 0;; ++i) {
      desktop.dialogs.folderAnswers.push_back(QString::fromLocal8Bit(argv[i % 2 ? 4 : 3]));
      form.findChild<QAbstractButton*>(QStringLiteral("mxTPButton21vdir"))->click();  // "Change dir"
      // Back to the event loop between clicks, as after a real one.
      QCoreApplication::processEvents();
      if (i == 0) Ready();
      std::printf("changed %ld\n", i + 1);
      std::fflush(stdout);
    }
  }
  if (mode == "download") {
    if (argc < 4) return Usage();
    // After the rows an earlier run left.
    larkvale::queue::DownloadList& list = *form.state().downloadList;
    list.AddRows(1);
    list.SetCellText(larkvale::queue::colUrl, list.RowCount() - 1, QString::fromLocal8Bit(argv[3]));
    // Downloads run from the start; begin the pass now rather than after the pause.
    form.findChild<larkvale::app::DownloadsPanel*>()->runner().PauseTimer().start(0);
    Ready();
    while (true) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  if (mode == "resume") {
    const larkvale::queue::DownloadList& list = *form.state().downloadList;
    auto pending = [&] {
      for (int r = 0; r < list.RowCount(); ++r) {
        const auto s = list.State(r);
        if (s != larkvale::queue::RowState::Done && s != larkvale::queue::RowState::Failed) return true;
      }
      return false;
    };
    QElapsedTimer t;
    t.start();
    while (pending() && t.elapsed() < 120000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    PrintRows("row", list);
    return pending() ? 1 : 0;
  }
  return Usage();
}
