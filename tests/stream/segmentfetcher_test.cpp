// The segment fetcher against scripted servers on 127.0.0.1: what a piece
// must be before it counts, and how long it waits when a server asks.
// Waits go through the fetcher's pause hook, which records them and returns
// at once: the tests check the waits asked for, not the clock.
#include "stream/segmentfetcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "support/nginx_server.h"
#include "support/scripted_server.h"

namespace larkvale::stream {
namespace {

namespace fs = std::filesystem;
using testing::ScriptedServer;
using testing::TempDir;

std::string Ts(int packets) {
  std::string out;
  for (int i = 0; i < packets; ++i) out += "\x47" + std::string(187, static_cast<char>('a' + i % 26));
  return out;
}

const std::string kPage = "<!DOCTYPE html>\n<html><head><title>Sign in</title></head><body>Please sign in.</body></html>\n";

std::string Reply(const std::string& status, const std::string& type, const std::string& body,
                  const std::string& extra = "") {
  return "HTTP/1.1 " + status + "\r\n" + (type.empty() ? "" : "Content-Type: " + type + "\r\n") + extra +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// An IMF-fixdate `seconds` from now.
std::string HttpDateIn(int seconds) {
  static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t when = std::time(nullptr) + seconds;
  std::tm t{};
  gmtime_r(&when, &t);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday], t.tm_mday,
                kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

struct Recorded {
  std::vector<std::int64_t> waits;
  SegmentFetcher::Options Options() {
    SegmentFetcher::Options o;
    o.connections = 1;
    o.pause = [this](std::int64_t ms) {
      waits.push_back(ms);
      return true;
    };
    return o;
  }
};

TEST(SegmentFetcher, RetryAfterSecondsAndDatesAreHonouredUpToFiveMinutes) {
  ScriptedServer server;
  for (const std::string& after : {HttpDateIn(120), std::string("1000000000000"),
                                   std::string("Sunday, 06-Nov-94 08:49:37 GMT")})
    server.Expect({ScriptedServer::ReadRequest(),
                   ScriptedServer::Send(Reply("503 Service Unavailable", "text/plain", "", "Retry-After: " + after + "\r\n")),
                   ScriptedServer::Close()});
  const std::string media = Ts(20);
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(Reply("200 OK", "video/mp2t", media)),
                 ScriptedServer::Close()});
  TempDir dir;
  Recorded r;
  SegmentFetcher fetcher(r.Options());
  FetchJob job;
  job.where = {"http://127.0.0.1:" + std::to_string(server.Port()) + "/s006.ts", 0, -1};
  job.path = dir.File("t0-00000006.seg");
  job.name = "segment 7";
  ASSERT_TRUE(fetcher.FetchAll({job}, nullptr));
  EXPECT_EQ(ReadAll(job.path), media);
  ASSERT_EQ(r.waits.size(), 3u);
  // The date two minutes ahead, give or take the seconds the test takes.
  EXPECT_LE(r.waits[0], 120000);
  EXPECT_GE(r.waits[0], 110000);
  EXPECT_EQ(r.waits[1], 5 * 60 * 1000);  // capped
  EXPECT_EQ(r.waits[2], 0);              // a date in the past
}

// The join waits on this word, not on the disk: every piece is told once,
// whether an earlier run left it or this one fetched it (straight into its
// file, or through memory for a range), and only once its file is whole.
TEST(SegmentFetcher, EachWholePieceIsToldOnceWhenItsFileIsWhole) {
  const std::string direct = Ts(20), ranged = Ts(12), kept = Ts(8);
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(Reply("200 OK", "video/mp2t", direct)),
                 ScriptedServer::Close()});
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Reply("206 Partial Content", "video/mp2t", ranged,
                                            "Content-Range: bytes 0-" + std::to_string(ranged.size() - 1) + "/" +
                                                std::to_string(ranged.size()) + "\r\n")),
                 ScriptedServer::Close()});
  TempDir dir;
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
  std::vector<FetchJob> jobs(3);
  jobs[0].where = {base + "/s0.ts", 0, -1};
  jobs[0].path = dir.File("t0-00000000.seg");
  jobs[0].name = "segment 1";
  {
    std::ofstream(jobs[0].path, std::ios::binary) << kept;
  }
  jobs[1].where = {base + "/s1.ts", 0, -1};
  jobs[1].path = dir.File("t0-00000001.seg");
  jobs[1].name = "segment 2";
  jobs[2].where = {base + "/s2.ts", 0, static_cast<std::int64_t>(ranged.size())};
  jobs[2].path = dir.File("t0-00000002.seg");
  jobs[2].name = "segment 3";

  Recorded r;
  SegmentFetcher fetcher(r.Options());
  std::mutex lock;
  std::map<std::string, std::string> told;  // path: its bytes when told
  int tellings = 0;
  ASSERT_TRUE(fetcher.FetchAll(jobs, nullptr, [&](const FetchJob& job) {
    const std::lock_guard g(lock);
    ++tellings;
    told[job.path] = ReadAll(job.path);
  }));
  EXPECT_EQ(tellings, 3);
  EXPECT_EQ(told[jobs[0].path], kept);
  EXPECT_EQ(told[jobs[1].path], direct);
  EXPECT_EQ(told[jobs[2].path], ranged);
}

TEST(SegmentFetcher, APieceThatIsNotMediaIsRetriedAndThenFailsNamingIt) {
  const std::string media = Ts(30);
  const struct {
    const char* name;
    std::vector<std::string> replies;  // one a try; the fetcher tries 4 times
    bool ranged = false, encrypted = false;
    const char* failure = nullptr;  // nullptr: the piece arrives
  } cases[] = {
      {"a page typed as a page, then the segment",
       {Reply("200 OK", "text/html; charset=utf-8", kPage), Reply("200 OK", "video/mp2t", media)}},
      {"an empty body, then the segment", {Reply("200 OK", "video/mp2t", ""), Reply("200 OK", "video/mp2t", media)}},
      {"a page typed as the segment", std::vector<std::string>(4, Reply("200 OK", "video/mp2t", kPage)), false, false,
       "the server sent something that is not media (it begins \"<!DOCTYPE html>\\x0A<html><h...\") (after 4 tries)"},
      {"a page typed as a page", std::vector<std::string>(4, Reply("200 OK", "text/html", kPage)), false, false,
       "the server sent a web page (text/html) instead of media (after 4 tries)"},
      {"media typed as a page", std::vector<std::string>(4, Reply("200 OK", "application/xhtml+xml", media)), false,
       false, "the server sent a web page (application/xhtml+xml) instead of media (after 4 tries)"},
      {"an empty body", std::vector<std::string>(4, Reply("200 OK", "video/mp2t", "")), false, false,
       "the server sent an empty body (after 4 tries)"},
      {"a packet of the segment, then a page", std::vector<std::string>(4, Reply("200 OK", "video/mp2t", media.substr(0, 188) + kPage)),
       false, false, "a transport stream that loses its sync at byte 188 (after 4 tries)"},
      {"a byte range answered with a page",
       std::vector<std::string>(4, Reply("206 Partial Content", "video/mp2t", kPage,
                                         "Content-Range: bytes 0-" + std::to_string(kPage.size() - 1) + "/9999\r\n")),
       true, false, "the server sent something that is not media"},
      {"an encrypted segment answered with a page",
       std::vector<std::string>(4, Reply("200 OK", "video/mp2t", kPage)), false, true,
       "bytes, which is not a whole number of AES-128 blocks (after 4 tries)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    for (const auto& reply : c.replies)
      server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(reply), ScriptedServer::Close()});
    TempDir dir;
    Recorded r;
    SegmentFetcher fetcher(r.Options());
    FetchJob job;
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/s002.ts";
    job.where = {url, 0, c.ranged ? static_cast<std::int64_t>(kPage.size()) : -1};
    job.path = dir.File("t0-00000002.seg");
    job.name = "segment 3";
    if (c.encrypted) job.key = Key128{};
    if (!c.failure) {
      ASSERT_TRUE(fetcher.FetchAll({job}, nullptr));
      EXPECT_EQ(ReadAll(job.path), media);
      EXPECT_EQ(server.Connections(), 2);
      continue;
    }
    try {
      fetcher.FetchAll({job}, nullptr);
      ADD_FAILURE() << "the piece was taken";
    } catch (const StreamError& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind("Segment 3 could not be fetched (" + url + "): ", 0), 0u) << message;
      EXPECT_NE(message.find(c.failure), std::string::npos) << message;
    }
    EXPECT_EQ(server.Connections(), 4);
    EXPECT_EQ(r.waits, (std::vector<std::int64_t>{500, 1000, 2000}));
    // Nothing under the piece's name, nothing half-written beside it.
    EXPECT_FALSE(fs::exists(job.path));
    EXPECT_TRUE(fs::is_empty(dir.Path()));
  }
}

}  // namespace
}  // namespace larkvale::stream
