// The .part transfer of a video that the server compresses without being
// asked: the file gets the video itself, and is judged whole by the body's
// end, not by the compressed length the reply announced.
#include "queue/parttransfer.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

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

}  // namespace
}  // namespace larkvale::queue
