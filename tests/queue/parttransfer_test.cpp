// The .part transfer: a video that the server compresses without being
// asked gets the video itself, judged whole by the body's end, and keeps
// none of a body that does not decode whole; a web page where a video was
// expected; and a final name that is never replaced.
#include "queue/parttransfer.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cerrno>

#include "http/httpclient.h"
#include "support/compression.h"
#include "support/scripted_server.h"
#include "support/video_site.h"

namespace larkvale::queue {
namespace {

using testing::ScriptedServer;

TEST(PartTransferCompressed, AGzippedVideoIsWrittenDecodedAndCountsAsWhole) {
  // Incompressible bytes: the gzip form is longer than the video.
  std::string video(300 * 1024, '\0');
  std::uint32_t x = 12345;
  for (auto& c : video) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  const std::string gz = testing::GzipBytes(video);
  ASSERT_GT(gz.size(), video.size());
  const struct {
    const char* name;
    std::string body;
    bool complete;
  } cases[] = {
      {"whole", gz, true},
      // Cut inside the gzip stream while the reply's length is honest.
      {"stream cut short", gz.substr(0, gz.size() / 2), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    server.Expect({ScriptedServer::ReadRequest(),
                   ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Type: video/mp4\r\nContent-Encoding: gzip\r\n"
                                        "Content-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" + c.body),
                   ScriptedServer::Close()});
    http::TNetHTTP client;
    http::ApplyWindowConfiguration(client);
    PartTransfer transfer(client);
    client.OnWorkBegin = [&](http::TNetComponent*, http::TWorkMode, std::int64_t n) { transfer.Begin(n); };
    QTemporaryDir dir;
    const QString part = dir.path() + QStringLiteral("/v.mp4.part");
    const PartTransfer::Result result =
        transfer.Run(QString::fromStdString("http://127.0.0.1:" + std::to_string(server.Port()) + "/v.mp4"), part);
    EXPECT_EQ(result.complete, c.complete) << result.error.toStdString();
    if (c.complete)
      EXPECT_TRUE(testing::ReadFileBytes((dir.path() + QStringLiteral("/v.mp4")).toStdString()) == video);
    else
      EXPECT_FALSE(result.error.isEmpty());
  }
}

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (auto& c : bytes) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return bytes;
}

std::string Reply(const std::string& headers, const std::string& body) {
  return "HTTP/1.0 200 OK\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One .part transfer of `link` into a fresh folder, wired as the runner wires it.
struct OneTransfer {
  explicit OneTransfer(bool refusePages = false) : transfer(client) {
    http::ApplyWindowConfiguration(client);
    transfer.refusePages = refusePages;
    client.OnWorkBegin = [this](http::TNetComponent*, http::TWorkMode, std::int64_t n) { transfer.Begin(n); };
  }
  PartTransfer::Result Run(const ScriptedServer& server) {
    return transfer.Run(QString::fromStdString("http://127.0.0.1:" + std::to_string(server.Port()) + "/v.mp4"), Part());
  }
  QString Part() const { return dir.path() + QStringLiteral("/v.mp4.part"); }
  QString Final() const { return dir.path() + QStringLiteral("/v.mp4"); }
  http::TNetHTTP client;
  PartTransfer transfer;
  QTemporaryDir dir;
};

// A compressed body is checked only at its end: one that is corrupt or cut
// short leaves nothing that a later run could take for the file's start,
// and the next run asks for the whole file again.
TEST(PartTransferCompressed, ABodyThatDoesNotDecodeWholeLeavesNothingToResume) {
  const std::string video = Noise(1 << 20, 7);
  std::string corrupt = testing::GzipBytes(video);
  corrupt[corrupt.size() - 6] ^= 0x01;  // in the trailer's check value
  std::string flipped = testing::GzipBytes(video);
  flipped[flipped.size() / 2] ^= 0x10;  // in the compressed data
  const struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"a flipped bit in the check value", corrupt},
      {"a flipped bit in the data", flipped},
      {"cut short", testing::GzipBytes(video).substr(0, 600000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    server.Expect({ScriptedServer::ReadRequest(),
                   ScriptedServer::Send(Reply("Content-Type: video/mp4\r\nContent-Encoding: gzip\r\nETag: \"e\"\r\n",
                                              c.body)),
                   ScriptedServer::Close()});
    server.Expect({ScriptedServer::ReadRequest(),
                   ScriptedServer::Send(Reply("Content-Type: video/mp4\r\nETag: \"e\"\r\n", video)),
                   ScriptedServer::Close()});
    OneTransfer t;
    const PartTransfer::Result failed = t.Run(server);
    EXPECT_FALSE(failed.complete);
    EXPECT_FALSE(failed.error.isEmpty());
    EXPECT_LE(failed.have, 0);
    EXPECT_FALSE(QFileInfo::exists(t.Part())) << "the .part keeps unchecked bytes";
    EXPECT_FALSE(QFileInfo::exists(t.Final()));

    const PartTransfer::Result again = t.Run(server);
    ASSERT_TRUE(again.complete) << again.error.toStdString();
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].find("Range:"), std::string::npos) << requests[1];
    EXPECT_TRUE(testing::ReadFileBytes(t.Final().toStdString()) == video);
  }
}

// A .part left by a compressed body (a run killed before its end) is never
// finished by a 416 or continued: its bytes were never checked.
TEST(PartTransferCompressed, APartOfACompressedBodyIsFetchedAgainNotFinished) {
  const std::string video = Noise(5000, 3);
  OneTransfer t;
  testing::WriteFileBytes(t.Part().toStdString(), Noise(5000, 4));  // as long as the file, but not it
  PartState state;
  state.etag = "\"e\"";
  state.coding = "gzip";
  ASSERT_TRUE(state.Save(t.Part()));
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Reply("Content-Type: video/mp4\r\nETag: \"e\"\r\n", video)),
                 ScriptedServer::Close()});
  const PartTransfer::Result result = t.Run(server);
  ASSERT_TRUE(result.complete) << result.error.toStdString();
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].find("Range:"), std::string::npos) << server.Requests()[0];
  EXPECT_TRUE(testing::ReadFileBytes(t.Final().toStdString()) == video);
}

// A link found on a page must answer with media: an error or login page in
// its place fails and leaves no file. A link typed as it stands is fetched
// whatever it is.
TEST(PartTransferPages, AWebPageInPlaceOfTheVideoFailsARowFoundOnAPage) {
  const std::string page = "<!DOCTYPE html><html><body>Please log in</body></html>";
  const std::string video = Noise(4000, 9);
  const struct {
    const char* name;
    std::string headers, body;
    bool refused;  // for a link found on a page
    const char* type;
  } cases[] = {
      {"html", "Content-Type: text/html\r\n", page, true, "text/html"},
      {"html with a charset", "Content-Type: Text/HTML; charset=utf-8\r\n", page, true, "text/html"},
      {"xhtml", "Content-Type: application/xhtml+xml\r\n", page, true, "application/xhtml+xml"},
      {"plain text that is markup", "Content-Type: text/plain\r\n", "\xEF\xBB\xBF \r\n" + page, true, "text/plain"},
      {"plain text that is not", "Content-Type: text/plain\r\n", video, false, ""},
      {"no type", "", video, false, ""},
      {"a video", "Content-Type: video/mp4\r\n", video, false, ""},
  };
  for (const auto& c : cases) {
    for (const bool found : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (found ? ", found on a page" : ", typed"));
      ScriptedServer server;
      server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(Reply(c.headers, c.body)),
                     ScriptedServer::Close()});
      OneTransfer t(found);
      const PartTransfer::Result result = t.Run(server);
      if (found && c.refused) {
        EXPECT_FALSE(result.complete);
        EXPECT_FALSE(result.transient);
        EXPECT_EQ(result.error.toStdString(),
                  std::string("The server sent a web page instead of the video: ") + c.type + ".");
        EXPECT_FALSE(QFileInfo::exists(t.Part()));
        EXPECT_FALSE(QFileInfo::exists(t.Final()));
      } else {
        ASSERT_TRUE(result.complete) << result.error.toStdString();
        EXPECT_TRUE(testing::ReadFileBytes(t.Final().toStdString()) == c.body);
      }
    }
  }
}

// The rename that finishes a download never replaces a file it did not
// write: a file that appeared under the final name stays as it was.
TEST(PartTransferNames, TheFinalRenameNeverReplacesAFile) {
  QTemporaryDir dir;
  const QString part = dir.path() + "/a.mp4.part", name = dir.path() + "/a.mp4";
  testing::WriteFileBytes(part.toStdString(), "new");
  testing::WriteFileBytes(name.toStdString(), "someone else's");
  errno = 0;
  EXPECT_FALSE(RenameWithoutReplacing(part, name));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(testing::ReadFileBytes(name.toStdString()), "someone else's");
  EXPECT_EQ(testing::ReadFileBytes(part.toStdString()), "new");
  QFile::remove(name);
  EXPECT_TRUE(RenameWithoutReplacing(part, name));
  EXPECT_EQ(testing::ReadFileBytes(name.toStdString()), "new");
  EXPECT_FALSE(QFileInfo::exists(part));

  // Through a transfer: the file comes while the body arrives.
  const std::string video = Noise(40000, 5);
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send("HTTP/1.0 200 OK\r\nContent-Length: 40000\r\n\r\n" + video.substr(0, 20000)),
                 ScriptedServer::Pause(300), ScriptedServer::Send(video.substr(20000)), ScriptedServer::Close()});
  OneTransfer t;
  t.client.OnWork = [&](http::TNetComponent*, http::TWorkMode, std::int64_t) {
    if (!QFileInfo::exists(t.Final())) testing::WriteFileBytes(t.Final().toStdString(), "another download");
  };
  const PartTransfer::Result result = t.Run(server);
  EXPECT_FALSE(result.complete);
  EXPECT_TRUE(result.error.contains("exists already")) << result.error.toStdString();
  EXPECT_EQ(testing::ReadFileBytes(t.Final().toStdString()), "another download");
  EXPECT_TRUE(testing::ReadFileBytes(t.Part().toStdString()) == video);  // kept for a later try
}

}  // namespace
}  // namespace larkvale::queue
