// Stream rows in the queue: a row whose link is an HLS playlist (by its
// extension, or by the type the Download action saw in its reply head) is
// downloaded piece by piece into one flvNvideo.mp4, with Stop keeping the
// pieces and Start continuing them.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <filesystem>
#include <memory>

#include "extract/siteaddresses.h"
#include "queue/downloadaction.h"
#include "queue/liststore.h"
#include "queue/queuerunner.h"
#include "support/runner_host.h"
#include "support/media_fixtures.h"
#include "support/nginx_server.h"
#include "support/video_site.h"

namespace larkvale::queue {
namespace {

using testing::NginxServer;
using testing::ReadFileBytes;
using testing::TempDir;
using testsupport::FfProbe;
using testsupport::RunCommand;
using testsupport::ShellQuote;

class StreamRows : public ::testing::Test {
 protected:
  void SetUp() override {
    if (NginxServer::Executable().empty()) GTEST_SKIP() << "nginx is not installed";
    const std::string r = root_.Path();
    int status = 0;
    const std::string out = RunCommand(
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=duration=6:size=320x240:rate=25 -f lavfi -i "
        "sine=duration=6 -c:v libx264 -preset ultrafast -g 25 -sc_threshold 0 -c:a aac -f hls -hls_time 1 "
        "-hls_playlist_type vod -hls_segment_filename " + ShellQuote(r + "/s%03d.ts") + " " +
            ShellQuote(r + "/index.m3u8") + " && cp " + ShellQuote(r + "/index.m3u8") + " " + ShellQuote(r + "/show") +
            " 2>&1",
        &status);
    ASSERT_EQ(status, 0) << out;
    // "/show" is the playlist under an address that does not say so; only
    // its type does.
    server_ = std::make_unique<NginxServer>(
        r, "    location = /show { default_type application/vnd.apple.mpegurl; }\n"
           // The same stream behind the browser's session: its cookie and
           // the page as Referer, or 403.
           "    location /locked/ {\n"
           "      if ($http_cookie !~ \"sid=s3\") { return 403; }\n"
           "      if ($http_referer != \"http://page.test/watch\") { return 403; }\n"
           "      alias " + r + "/;\n"
           "    }\n"
           // The same stream paced, for a Stop to land in the middle:
           // nginx sends a second's worth at once, the rest of a piece
           // (about 40 KB) in the second after.
           "    location /paced/ {\n"
           "      limit_rate 25k;\n"
           "      alias " + r + "/;\n"
           "    }\n");
    flv_ = dir_.path() + "/flv/";
    QDir().mkpath(flv_);
    host_.failOnPassError = true;
    host_.settings.folder = flv_;
    host_.settings.connections = 2;
    host_.streamClients = [this] {
      ++clientsMade_;
      return stream::DefaultStreamClient();
    };
    host_.onReceived = [this](std::int64_t) {
      if (stopAtHalf_ && list_.CellInt(colProgress, 0) >= 50) stopped_ = true;
    };
    runner_ = std::make_unique<QueueRunner>(list_, host_, currentRow_);
  }

  int AddRow(const std::string& link) {
    const int row = list_.RowCount();
    list_.AddRows(1);
    list_.SetCellText(colUrl, row, QString::fromStdString(link));
    return row;
  }
  void Pass() {
    if (!runner_->Active()) {
      runner_->Start();
      return;
    }
    runner_->PauseTimer().start(0);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
  }
  QStringList Entries() const { return QDir(flv_).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name); }

  TempDir root_;
  std::unique_ptr<NginxServer> server_;
  QTemporaryDir dir_;
  QString flv_;
  DownloadList list_;
  int currentRow_ = 0;
  testing::RecordingRunnerHost host_;
  bool& stopped_ = host_.stopped;
  bool stopAtHalf_ = false;
  QStringList& timeline_ = host_.done;
  std::vector<std::int64_t>& bytes_ = host_.received;  // what the speed label is told
  int clientsMade_ = 0;
  std::unique_ptr<QueueRunner> runner_;
};

TEST_F(StreamRows, PlaylistRowBecomesOneMp4OnTheTimeline) {
  const int row = AddRow(server_->BaseUrl() + "/index.m3u8");
  Pass();
  ASSERT_EQ(list_.State(row), RowState::Done) << list_.ErrorText(row).toStdString();
  EXPECT_EQ(Entries(), QStringList{QStringLiteral("flv0video.mp4")});
  EXPECT_EQ(list_.CellText(colFile, row), flv_ + "flv0video.mp4");
  EXPECT_EQ(timeline_, QStringList{flv_ + "flv0video.mp4"});
  EXPECT_EQ(list_.CellInt(colProgress, row), 100);
  // Every connection's client comes from the caller: the playlist's and at
  // most the two fetching ones.
  EXPECT_GE(clientsMade_, 2);
  EXPECT_LE(clientsMade_, 3);
  // The speed label is told where the row starts and ends.
  ASSERT_GE(bytes_.size(), 2u);
  EXPECT_EQ(bytes_.front(), 0);
  EXPECT_EQ(bytes_.back(), -1);
  const auto p = FfProbe((flv_ + "flv0video.mp4").toStdString());
  EXPECT_EQ(p.video.codec, "h264");
  EXPECT_EQ(p.audio.codec, "aac");
  EXPECT_NEAR(p.duration, 6, 0.1);
}

// A stream row found on a browsed page sends the browser's cookie and the
// page as Referer with every request, the playlist's and each piece's; the
// same stream without them is refused.
TEST_F(StreamRows, ARowsBrowserSessionGoesWithEveryRequestOfItsStream) {
  const std::string link = server_->BaseUrl() + "/locked/index.m3u8";
  const int bare = AddRow(link);
  Pass();
  ASSERT_EQ(list_.State(bare), RowState::Failed);
  EXPECT_TRUE(list_.ErrorText(bare).contains(QStringLiteral("403"))) << list_.ErrorText(bare).toStdString();

  const int row = AddRow(link);
  browser::PageSession session;
  session.referer = "http://page.test/watch";
  session.userAgent = "Browser/1.0";
  browser::BrowserCookie cookie;
  cookie.name = "sid";
  cookie.value = "s3";
  cookie.domain = "127.0.0.1";
  cookie.path = "/";
  session.cookies.push_back(cookie);
  list_.SetSession(row, session);
  Pass();
  ASSERT_EQ(list_.State(row), RowState::Done) << list_.ErrorText(row).toStdString();
  const auto p = FfProbe(list_.CellText(colFile, row).toStdString());
  EXPECT_EQ(p.video.codec, "h264");
  EXPECT_NEAR(p.duration, 6, 0.1);
}

TEST_F(StreamRows, StopKeepsThePiecesAndStartFinishesTheSameFile) {
  const int whole = AddRow(server_->BaseUrl() + "/index.m3u8");
  Pass();
  ASSERT_EQ(list_.State(whole), RowState::Done);
  const std::string expected = ReadFileBytes((flv_ + "flv0video.mp4").toStdString());

  const int row = AddRow(server_->BaseUrl() + "/paced/index.m3u8");
  stopAtHalf_ = true;
  Pass();
  ASSERT_EQ(list_.State(row), RowState::Stopped) << list_.ErrorText(row).toStdString();
  EXPECT_EQ(list_.CellText(colFile, row), flv_ + "flv1video.mp4.part");
  EXPECT_TRUE(QFileInfo(flv_ + "flv1video.mp4.segments").isDir());
  EXPECT_FALSE(QFileInfo::exists(flv_ + "flv1video.mp4"));

  // A new row meanwhile does not take the stopped row's name.
  stopAtHalf_ = false;
  stopped_ = false;
  runner_->Start();
  Pass();
  ASSERT_EQ(list_.State(row), RowState::Done) << list_.ErrorText(row).toStdString();
  EXPECT_EQ(ReadFileBytes((flv_ + "flv1video.mp4").toStdString()), expected);
  EXPECT_EQ(Entries(), (QStringList{QStringLiteral("flv0video.mp4"), QStringLiteral("flv1video.mp4")}));
}

TEST_F(StreamRows, FailedRowNamesTheSegmentAndRetryKeepsWhatArrived) {
  const std::string missing = root_.File("s003.ts"), away = root_.File("away.ts");
  std::filesystem::rename(missing, away);
  const int row = AddRow(server_->BaseUrl() + "/index.m3u8");
  Pass();
  ASSERT_EQ(list_.State(row), RowState::Failed);
  EXPECT_TRUE(list_.ErrorText(row).contains(QStringLiteral("Segment 4"))) << list_.ErrorText(row).toStdString();
  EXPECT_TRUE(list_.ErrorText(row).contains(QStringLiteral("404"))) << list_.ErrorText(row).toStdString();
  // The pieces that arrived stay for Retry, and the name stays held.
  EXPECT_EQ(list_.CellText(colFile, row), flv_ + "flv0video.mp4.part");
  EXPECT_TRUE(QFileInfo(flv_ + "flv0video.mp4.segments").isDir());
  EXPECT_FALSE(QFileInfo::exists(flv_ + "flv0video.mp4"));

  std::filesystem::rename(away, missing);
  ASSERT_TRUE(list_.MakeWaiting(row));
  Pass();
  ASSERT_EQ(list_.State(row), RowState::Done) << list_.ErrorText(row).toStdString();
  EXPECT_EQ(Entries(), QStringList{QStringLiteral("flv0video.mp4")});
  EXPECT_NEAR(FfProbe((flv_ + "flv0video.mp4").toStdString()).duration, 6, 0.1);
}

TEST_F(StreamRows, ReplyTypeMarksAStreamTheAddressDoesNotName) {
  http::TNetHTTP pageClient;
  http::ApplyWindowConfiguration(pageClient);
  DownloadAction action(pageClient, list_, [] {});
  QTemporaryDir temp;
  ASSERT_EQ(action.Run(server_->BaseUrl() + "/show", temp.path() + "/", extract::SiteAddresses::FromEnvironment()),
            DownloadAction::Outcome::Queued);
  ASSERT_EQ(list_.RowCount(), 1);
  EXPECT_TRUE(list_.IsMarkedStream(0));
  Pass();
  ASSERT_EQ(list_.State(0), RowState::Done) << list_.ErrorText(0).toStdString();
  EXPECT_EQ(Entries(), QStringList{QStringLiteral("flv0video.mp4")});
  EXPECT_NEAR(FfProbe((flv_ + "flv0video.mp4").toStdString()).duration, 6, 0.1);
}

TEST_F(StreamRows, AStreamKnownByItsTypeIsStillOneAfterARestart) {
  // Queued from "/show" (a stream by its reply type only), the list saved,
  // and the program started again before any piece arrived.
  DownloadList before;
  before.AddRows(1);
  before.SetCellText(colUrl, 0, QString::fromStdString(server_->BaseUrl() + "/show"));
  before.MarkStream(0);
  QString why;
  ASSERT_TRUE(ParseDownloadList(SerializeDownloadList(before), list_, &why)) << why.toStdString();
  Pass();
  ASSERT_EQ(list_.State(0), RowState::Done) << list_.ErrorText(0).toStdString();
  EXPECT_EQ(Entries(), QStringList{QStringLiteral("flv0video.mp4")});
  EXPECT_NEAR(FfProbe((flv_ + "flv0video.mp4").toStdString()).duration, 6, 0.1);
}

}  // namespace
}  // namespace larkvale::queue
