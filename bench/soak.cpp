// Soak: the real window's queue runner downloading many small files from a
// private nginx on 127.0.0.1 while a timer deletes and re-sorts rows at
// random during the transfers. Prints the process's memory and open
// descriptors after the first batch and at the end, and checks that every
// row holds only its own download's values. Run by scripts/soak.sh.
//   bench_soak [downloads=1000] [seed=1]
#include <dirent.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "app/downloadspanel.h"
#include "app/mainwindow.h"
#include "engine/videoengine.h"
#include "queue/downloadlist.h"
#include "queue/queuerunner.h"
#include "support/fakes.h"
#include "support/media_fixtures.h"
#include "support/nginx_server.h"

namespace {

long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n - 1;  // the listing's own
}

}  // namespace

// Conversions by the engine, one after another, in MPEG 2, AVI, FLV and MP3 in
// turn, each over the file the last round wrote; every output must be a
// whole file and no .part may be left.
int SoakConversions(int wanted) {
  larkvale::testing::TempDir dir;
  const std::string input = dir.File("input.mp4");
  larkvale::testsupport::FixtureSpec clip{3, true, 320, 240, 25, true, 44100, 2,
                                          "-c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac"};
  if (!larkvale::testsupport::MakeMediaFixture(input, clip)) {
    std::fprintf(stderr, "ffmpeg could not make the input\n");
    return 1;
  }
  const QString in = QString::fromStdString(input);
  const char* const exts[] = {"mpg", "avi", "flv", "mp3"};
  const int types[] = {7, 8, 14, 0};
  int failed = 0;
  long rssFirst = 0, fdFirst = 0, rssTenth = 0;
  for (int i = 0; i < wanted; ++i) {
    larkvale::engine::TVideoEngine engine;
    engine.OutputFileWidth = 320;
    engine.OutputFileHeight = 240;
    const double d = engine.GetFileDuration(in);
    engine.AddVideo(in, 0, d, 0);
    engine.AddAudio(in, 0, d);
    const QString out = QString::fromStdString(dir.File("out.")) + exts[i % 4];
    bool ok;
    if (i % 4 == 3) {
      ok = engine.SaveTimelineMp3(out, 44100, 128);
    } else {
      engine.OutputType = types[i % 4];
      ok = engine.SaveTimeline(out);
    }
    if (!ok || QFile(out).size() < 1000) {
      std::fprintf(stderr, "conversion %d (%s) failed: %s\n", i + 1, exts[i % 4], qPrintable(engine.LastError()));
      ++failed;
    }
    if (i == 0) {
      rssFirst = StatusKiB("VmRSS:");
      fdFirst = OpenDescriptors();
    }
    if (i == 9) rssTenth = StatusKiB("VmRSS:");  // past the codecs' first-use allocations
  }
  const QStringList parts = QDir(QString::fromStdString(dir.Path())).entryList({"*.part"}, QDir::Files);
  std::printf("conversions %d, failed %d, .part files left %d\n", wanted, failed, static_cast<int>(parts.size()));
  std::printf("after conversion 1: VmRSS %ld KiB, descriptors %ld\n", rssFirst, fdFirst);
  std::printf("after conversion 10: VmRSS %ld KiB\n", rssTenth);
  std::printf("at the end:         VmRSS %ld KiB, descriptors %d\n", StatusKiB("VmRSS:"), OpenDescriptors());
  return failed == 0 && parts.isEmpty() ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "convert") == 0) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return SoakConversions(argc > 2 ? std::atoi(argv[2]) : 100);
  }
  const int wanted = argc > 1 ? std::atoi(argv[1]) : 1000;
  std::mt19937 random(argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1u);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  constexpr int kSize = 64 * 1024;
  larkvale::testing::TempDir site;
  {
    std::ofstream out(site.File("v.flv"), std::ios::binary);
    for (int i = 0; i < kSize; ++i) out.put(static_cast<char>(i * 7 + 3));
  }
  larkvale::testing::NginxServer nginx(site.Path());
  const QString url = QString::fromStdString(nginx.BaseUrl() + "/v.flv");

  larkvale::testing::FakeDesktop desktop;
  larkvale::app::MainWindow form(desktop.services);
  form.show();
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  auto* list = form.state().downloadList;
  auto* downloads = form.findChild<larkvale::app::DownloadsPanel*>();

  // Deletes or re-sorts rows while the runner's transfers pump messages.
  int deletes = 0, sorts = 0;
  QTimer meddler;
  meddler.setInterval(2);
  QObject::connect(&meddler, &QTimer::timeout, [&] {
    if (list->RowCount() == 0) return;
    const int dice = static_cast<int>(random() % 10);
    if (dice == 0) {
      list->DeleteRow(static_cast<int>(random() % list->RowCount()));
      ++deletes;
    } else if (dice == 1) {
      list->SortRows(larkvale::queue::colUrl + static_cast<int>(random() % 4),
                     random() % 2 ? Qt::AscendingOrder : Qt::DescendingOrder);
      ++sorts;
    }
  });

  int downloaded = 0, batches = 0, bad = 0;
  long rssFirst = 0, fdFirst = 0;
  const QDir flv(form.state().flvDir);
  while (downloaded < wanted) {
    downloads->toggleDownloads();  // stop: ends the loop left from the last batch
    downloads->runner().PauseTimer().start(0);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    while (list->RowCount() > 0) list->DeleteRow(0);
    list->AddRows(20);
    for (int r = 0; r < 20; ++r) list->SetCellText(larkvale::queue::colUrl, r, url + "?n=" + QString::number(r));
    meddler.start();
    downloads->toggleDownloads();  // start: the pass runs now
    meddler.stop();
    // Every row that names a file got exactly that file's values.
    for (int r = 0; r < list->RowCount(); ++r) {
      const QString file = list->CellText(larkvale::queue::colFile, r);
      if (file.isEmpty()) continue;
      if (QFile(file).size() != kSize || list->CellInt(larkvale::queue::colProgress, r) != 100 ||
          list->CellInt(larkvale::queue::colSize, r) != kSize)
        ++bad;
    }
    for (const QString& name : flv.entryList(QDir::Files)) {
      if (QFile(flv.filePath(name)).size() != kSize) ++bad;
      QFile::remove(flv.filePath(name));
      ++downloaded;
    }
    if (!desktop.dialogs.shown.empty()) {
      std::fprintf(stderr, "error: %s\n", qPrintable(desktop.dialogs.Texts().join("|")));
      return 1;
    }
    if (++batches == 1) {
      rssFirst = StatusKiB("VmRSS:");
      fdFirst = OpenDescriptors();
    }
  }
  std::printf("downloads %d in %d batches, rows deleted %d, sorts %d, rows with wrong values %d\n", downloaded,
              batches, deletes, sorts, bad);
  std::printf("after batch 1: VmRSS %ld KiB, descriptors %ld\n", rssFirst, fdFirst);
  std::printf("at the end:    VmRSS %ld KiB, descriptors %d\n", StatusKiB("VmRSS:"), OpenDescriptors());
  return bad == 0 ? 0 : 1;
}
