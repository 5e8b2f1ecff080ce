// Stream downloads end to end: HLS and DASH streams made by the ffmpeg CLI,
// served by a loopback nginx, downloaded into one MP4 and judged against
// ffmpeg's own stream copy of the same address (frame hashes by ffmpeg,
// streams and duration by ffprobe).

#include "stream/streamdownload.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "support/media_fixtures.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"

namespace larkvale::stream {
namespace {

namespace fs = std::filesystem;
using testing::NginxServer;
using testing::ScriptedServer;
using testing::TempDir;
using testsupport::FfProbe;
using testsupport::RunCommand;
using testsupport::ShellQuote;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool Sh(const std::string& command) {
  int status = 0;
  const std::string out = RunCommand(command + " 2>&1", &status);
  if (status != 0) ADD_FAILURE() << command << "\n" << out;
  return status == 0;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The decoded frames' hashes of one kind of stream ("v" or "a"), without
// their times.
std::vector<std::string> FrameHashes(const std::string& path, const char* kind) {
  int status = 0;
  const std::string out = RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(path) + " -map 0:" + kind +
                                         ":0 -f framemd5 - 2>/dev/null",
                                     &status);
  std::vector<std::string> hashes;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    hashes.push_back(line.substr(line.rfind(',') + 1));
  }
  return hashes;
}

// Streams made once for the whole suite: an 8-second clip with picture and
// sound, one keyframe a second, in every form the downloader reads.
class StreamDownloadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (NginxServer::Executable().empty()) return;
    root_ = new TempDir;
    const std::string r = root_->Path();
    const std::string src = r + "/source.mp4";
    const std::string enc = " -c:v libx264 -preset ultrafast -g 25 -keyint_min 25 -sc_threshold 0 -c:a aac -b:a 64k";
    ready_ = Sh("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=duration=8:size=320x240:rate=25 -f lavfi -i "
                "sine=frequency=440:duration=8:sample_rate=44100 -ac 2" + enc + " " + ShellQuote(src));
    auto hls = [&](const std::string& dir, const std::string& args) {
      fs::create_directories(r + "/" + dir);
      return Sh("ffmpeg -nostdin -v error -y -i " + ShellQuote(src) + " -c copy -f hls -hls_time 1 "
                "-hls_playlist_type vod " + args + " " + ShellQuote(r + "/" + dir + "/index.m3u8"));
    };
    ready_ = ready_ && hls("ts", "-hls_segment_filename " + ShellQuote(r + "/ts/s%03d.ts"));
    ready_ = ready_ && hls("fmp4", "-hls_segment_type fmp4 -hls_segment_filename " + ShellQuote(r + "/fmp4/s%03d.m4s"));
    ready_ = ready_ && hls("single", "-hls_flags single_file");
    // AES-128 with an explicit IV, and the key at a relative address.
    fs::create_directories(r + "/aes");
    WriteAll(r + "/aes/k.key", std::string("0123456789abcdef"));
    WriteAll(r + "/keyinfo", "k.key\n" + r + "/aes/k.key\n00112233445566778899aabbccddeeff\n");
    ready_ = ready_ && hls("aes", "-hls_key_info_file " + ShellQuote(r + "/keyinfo") + " -hls_segment_filename " +
                                      ShellQuote(r + "/aes/s%03d.ts"));
    // Three picture sizes and the sound as a rendition of its own.
    fs::create_directories(r + "/ladder");
    ready_ = ready_ && Sh("cd " + ShellQuote(r + "/ladder") + " && ffmpeg -nostdin -v error -y -i " + ShellQuote(src) +
                          " -filter_complex '[0:v]split=3[a][b][c];[a]copy[v0];[b]scale=240:180[v1];[c]scale=160:120[v2]'"
                          " -map '[v0]' -map '[v1]' -map '[v2]' -map 0:a -c:v libx264 -preset ultrafast -g 25 "
                          "-sc_threshold 0 -b:v:0 600k -b:v:1 300k -b:v:2 150k -c:a copy -f hls -hls_time 1 "
                          "-hls_playlist_type vod -master_pl_name master.m3u8 "
                          "-var_stream_map 'v:0,agroup:aud v:1,agroup:aud v:2,agroup:aud a:0,agroup:aud' "
                          "-hls_segment_filename 'v%v_%03d.ts' 'v%v.m3u8'");
    auto dash = [&](const std::string& dir, const std::string& args) {
      fs::create_directories(r + "/" + dir);
      return Sh("ffmpeg -nostdin -v error -y -i " + ShellQuote(src) + " -map 0:v -map 0:a -c copy -f dash -seg_duration 1 " +
                args + " " + ShellQuote(r + "/" + dir + "/manifest.mpd"));
    };
    ready_ = ready_ && dash("dash_timeline", "-use_template 1 -use_timeline 1");
    ready_ = ready_ && dash("dash_number", "-use_template 1 -use_timeline 0");
    // On-demand DASH: one fragmented file a track, indexed by a single sidx
    // after the moov (ftyp moov sidx moof mdat ...), as a SegmentBase names it.
    fs::create_directories(r + "/ondemand");
    for (const char* kind : {"v", "a"})
      ready_ = ready_ && Sh("ffmpeg -nostdin -v error -y -i " + ShellQuote(src) + " -map 0:" + kind +
                            " -c copy -f mp4 -movflags +dash+global_sidx " +
                            ShellQuote(r + "/ondemand/" + (kind[0] == 'v' ? "video" : "audio") + ".mp4"));
  }
  static void TearDownTestSuite() {
    delete root_;
    root_ = nullptr;
  }

  void SetUp() override {
    if (NginxServer::Executable().empty()) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(ready_) << "the ffmpeg CLI could not make the streams";
    server_ = std::make_unique<NginxServer>(root_->Path(), "    access_log " + out_.File("access.log") + ";\n");
  }

  std::string Url(const std::string& path) const { return server_->BaseUrl() + "/" + path; }

  StreamDownload::Result Download(const std::string& url, const std::string& file, StreamOptions options = {},
                                  const std::function<void(StreamDownload&, const StreamProgress&)>& each = nullptr) {
    // Connections are counted on the clients the download is given.
    auto connects = std::make_shared<std::atomic<int>>(0);
    ClientFactory make = options.makeClient ? options.makeClient : ClientFactory(DefaultStreamClient);
    options.makeClient = [make, connects] {
      auto client = make();
      auto connected = client->OnConnected;
      client->OnConnected = [connects, connected](http::TNetComponent* s) {
        ++*connects;
        if (connected) connected(s);
      };
      return client;
    };
    StreamDownload d(options);
    auto r = d.Run(url, file, [&](const StreamProgress& p) {
      if (each) each(d, p);
    });
    lastConnects_ = *connects;
    return r;
  }

  // ffmpeg's own stream copy of the same address.
  std::string Reference(const std::string& url) {
    const std::string ref = out_.File("ref-" + std::to_string(refs_++) + ".mp4");
    EXPECT_TRUE(Sh("ffmpeg -nostdin -v error -y -i " + ShellQuote(url) + " -map 0:v:0 -map 0:a:0 -c copy " + ShellQuote(ref)));
    return ref;
  }

  // Same streams, duration within a frame, and the same decoded frames.
  // `soundPrefix`: the sound may end early (by less than a second) but
  // matches the reference up to there.
  void ExpectSameMedia(const std::string& got, const std::string& ref, bool soundPrefix = false) {
    const auto g = FfProbe(got), w = FfProbe(ref);
    ASSERT_TRUE(g.ok) << got;
    ASSERT_TRUE(w.ok) << ref;
    EXPECT_EQ(g.video.codec, w.video.codec);
    EXPECT_EQ(g.audio.codec, w.audio.codec);
    EXPECT_EQ(g.video.height, w.video.height);
    EXPECT_NEAR(g.duration, w.duration, 1.0 / 25);
    EXPECT_EQ(FrameHashes(got, "v"), FrameHashes(ref, "v"));
    const auto sound = FrameHashes(got, "a"), wanted = FrameHashes(ref, "a");
    if (soundPrefix) {
      ASSERT_LE(sound.size(), wanted.size());
      EXPECT_GT(sound.size() + 44, wanted.size());
      EXPECT_TRUE(std::equal(sound.begin(), sound.end(), wanted.begin()));
    } else {
      EXPECT_EQ(sound, wanted);
    }
    EXPECT_EQ(FrameHashes(got, "v").size(), 200u);
  }

  // Bytes nginx sent for addresses containing `part`, from its access log.
  std::int64_t BytesServed(const std::string& part) {
    std::ifstream in(out_.File("access.log"));
    std::int64_t total = 0;
    const std::regex line("\"GET ([^ ]+) [^\"]*\" ([0-9]+) ([0-9]+)");
    for (std::string l; std::getline(in, l);) {
      std::smatch m;
      if (std::regex_search(l, m, line) && Contains(m[1].str(), part)) total += std::stoll(m[3].str());
    }
    return total;
  }

  // A copy of the ts stream whose segment `number` (from 1) comes from
  // `server`; returns its playlist's address.
  std::string WithSegmentFrom(const std::string& dir, int number, const ScriptedServer& server, const std::string& name) {
    std::string playlist = ReadAll(root_->Path() + "/" + dir + "/index.m3u8");
    const std::string segment = SegmentName(dir, number);
    playlist.replace(playlist.find(segment), segment.size(),
                     "http://127.0.0.1:" + std::to_string(server.Port()) + "/" + segment);
    WriteAll(root_->Path() + "/" + dir + "/" + name, playlist);
    return Url(dir + "/" + name);
  }
  static std::string SegmentName(const std::string& dir, int number) {
    char text[32];
    std::snprintf(text, sizeof text, "s%03d.%s", number - 1, dir == "fmp4" ? "m4s" : "ts");
    return text;
  }

  static inline TempDir* root_ = nullptr;
  static inline bool ready_ = false;
  TempDir out_;
  std::unique_ptr<NginxServer> server_;
  int lastConnects_ = 0;
  int refs_ = 0;
};

TEST_F(StreamDownloadTest, EachFormBecomesOneMp4LikeFfmpegsCopy) {
  // The DASH forms are held to the source file itself: ffmpeg's own DASH
  // reader decodes the sound's priming frame (which the MP4 edit list of the
  // source and of our file skips) and loses the last frame instead. Without
  // a timeline the manifest rounds the length down to whole tenths of a
  // second and so does not list the sound's last short segment.
  const struct {
    const char* path;
    bool againstSource, soundPrefix;
  } cases[] = {{"ts/index.m3u8", false, false},
               {"fmp4/index.m3u8", false, false},
               {"single/index.m3u8", false, false},
               {"aes/index.m3u8", false, false},
               {"dash_timeline/manifest.mpd", true, false},
               {"dash_number/manifest.mpd", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string file = out_.File(fs::path(c.path).parent_path().string() + ".mp4");
    const auto r = Download(Url(c.path), file);
    ASSERT_TRUE(r.complete) << r.error;
    EXPECT_FALSE(fs::exists(file + ".part"));
    EXPECT_FALSE(fs::exists(StreamDownload::PiecesFolder(file)));
    ExpectSameMedia(file, c.againstSource ? root_->Path() + "/source.mp4" : Reference(Url(c.path)), c.soundPrefix);
  }
}

TEST_F(StreamDownloadTest, KeepAliveNeedsNoMoreConnectionsThanFetches) {
  const std::string file = out_.File("ts.mp4");
  StreamOptions options;
  options.connections = 2;
  ASSERT_TRUE(Download(Url("ts/index.m3u8"), file, options).complete);
  // Nine segments and the playlist: two fetching connections and the
  // playlist's own.
  EXPECT_LE(lastConnects_, 3);
  EXPECT_GE(lastConnects_, 1);
}

TEST_F(StreamDownloadTest, VariantAndSeparateAudioUnderEachHeightLimit) {
  const struct {
    int maxHeight;
    int height;
  } cases[] = {{kBestHeight, 240}, {720, 240}, {200, 180}, {150, 120}, {100, 120}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.maxHeight);
    StreamOptions options;
    options.maxHeight = c.maxHeight;
    const std::string file = out_.File("ladder" + std::to_string(c.maxHeight) + ".mp4");
    const auto r = Download(Url("ladder/master.m3u8"), file, options);
    ASSERT_TRUE(r.complete) << r.error;
    const auto p = FfProbe(file);
    EXPECT_EQ(p.video.height, c.height);
    EXPECT_EQ(p.audio.codec, "aac");  // from the audio rendition's own playlist
    EXPECT_NEAR(p.duration, 8, 0.1);
    EXPECT_EQ(FrameHashes(file, "v").size(), 200u);
  }
}

TEST_F(StreamDownloadTest, StopAtHalfThenResumeFetchesNothingTwice) {
  const std::string whole = out_.File("whole.mp4");
  ASSERT_TRUE(Download(Url("ts/index.m3u8"), whole).complete);
  const std::int64_t media = BytesServed("/ts/s");
  ASSERT_GT(media, 0);

  const std::string file = out_.File("resumed.mp4");
  StreamOptions one;
  one.connections = 1;
  auto r = Download(Url("ts/index.m3u8"), file, one, [](StreamDownload& d, const StreamProgress& p) {
    if (p.total > 0 && p.done * 2 >= p.total) d.Stop();
  });
  EXPECT_TRUE(r.stopped);
  EXPECT_FALSE(r.complete);
  EXPECT_TRUE(r.error.empty()) << r.error;
  EXPECT_FALSE(fs::exists(file));
  ASSERT_TRUE(fs::exists(StreamDownload::PiecesFolder(file) + "/state"));

  r = Download(Url("ts/index.m3u8"), file);
  ASSERT_TRUE(r.complete) << r.error;
  EXPECT_LE(BytesServed("/ts/s") - media, media * 11 / 10);
  EXPECT_EQ(ReadAll(file), ReadAll(whole));
  EXPECT_FALSE(fs::exists(StreamDownload::PiecesFolder(file)));
}

TEST_F(StreamDownloadTest, SegmentRetriedAfterTwo503sAndMissingSegmentNamed) {
  // The third segment comes from a server that answers 503 twice.
  ScriptedServer flaky;
  const std::string segment = ReadAll(root_->Path() + "/ts/s002.ts");
  const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 0\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  for (int i = 0; i < 2; ++i) flaky.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(busy), ScriptedServer::Close()});
  flaky.Expect({ScriptedServer::ReadRequest(),
                ScriptedServer::Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(segment.size()) +
                                     "\r\nConnection: close\r\n\r\n" + segment),
                ScriptedServer::Close()});
  std::string playlist = ReadAll(root_->Path() + "/ts/index.m3u8");
  playlist.replace(playlist.find("s002.ts"), 7, "http://127.0.0.1:" + std::to_string(flaky.Port()) + "/s002.ts");
  WriteAll(root_->Path() + "/ts/flaky.m3u8", playlist);
  const std::string file = out_.File("flaky.mp4");
  const auto r = Download(Url("ts/flaky.m3u8"), file);
  ASSERT_TRUE(r.complete) << r.error;
  EXPECT_EQ(flaky.Connections(), 3);
  EXPECT_EQ(FrameHashes(file, "v"), FrameHashes(Reference(Url("ts/index.m3u8")), "v"));

  playlist = ReadAll(root_->Path() + "/ts/index.m3u8");
  playlist.replace(playlist.find("s003.ts"), 7, "gone.ts");
  WriteAll(root_->Path() + "/ts/missing.m3u8", playlist);
  const std::string lost = out_.File("missing.mp4");
  const auto failed = Download(Url("ts/missing.m3u8"), lost);
  EXPECT_FALSE(failed.complete);
  EXPECT_TRUE(Contains(failed.error, "Segment 4")) << failed.error;
  EXPECT_TRUE(Contains(failed.error, "gone.ts")) << failed.error;
  EXPECT_TRUE(Contains(failed.error, "404")) << failed.error;
  EXPECT_FALSE(fs::exists(lost));
  EXPECT_FALSE(fs::exists(lost + ".part"));
  // The pieces that arrived are kept; nothing half-written is.
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(StreamDownload::PiecesFolder(lost), ec))
    EXPECT_NE(e.path().extension(), ".tmp") << e.path();
}

TEST_F(StreamDownloadTest, TheJoinKeepsUpWithThePiecesAndAStopKeepsTheHeldName) {
  // The last segment comes from a server that holds it back for a while.
  // (fMP4: the transport stream reader would first want 7 of the 8 seconds
  // to learn the streams.)
  const std::string segment = ReadAll(root_->Path() + "/fmp4/s007.m4s");
  auto slowLast = [&](ScriptedServer& server, int pauseMs) {
    server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Pause(pauseMs),
                   ScriptedServer::Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(segment.size()) +
                                        "\r\nConnection: close\r\n\r\n" + segment),
                   ScriptedServer::Close()});
    std::string playlist = ReadAll(root_->Path() + "/fmp4/index.m3u8");
    playlist.replace(playlist.find("s007.m4s"), 8, "http://127.0.0.1:" + std::to_string(server.Port()) + "/s007.m4s");
    WriteAll(root_->Path() + "/fmp4/slowlast.m3u8", playlist);
  };
  const std::string file = out_.File("slowlast.mp4");
  const std::string part = file + ".part";
  WriteAll(part, "");  // the name held, as the list and the command line do

  // While the last piece is held back, the join has already written the
  // others; a Stop then leaves the name held and the pieces kept.
  ScriptedServer held;
  slowLast(held, 5000);
  std::uintmax_t joinedEarly = 0;
  auto r = Download(Url("fmp4/slowlast.m3u8"), file, {}, [&](StreamDownload& d, const StreamProgress& p) {
    std::error_code ec;
    const auto size = fs::file_size(part, ec);
    if (ec || p.done + 1 != p.total) return;
    joinedEarly = std::max(joinedEarly, size);
    if (size > 100000) d.Stop();
  });
  EXPECT_TRUE(r.stopped) << r.error;
  EXPECT_GT(joinedEarly, 100000u);  // of about 280 KB
  EXPECT_TRUE(fs::exists(part));
  EXPECT_EQ(fs::file_size(part), 0u);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(fs::exists(StreamDownload::PiecesFolder(file) + "/t0-00000006.seg"));

  ScriptedServer prompt;
  slowLast(prompt, 0);
  r = Download(Url("fmp4/slowlast.m3u8"), file);
  ASSERT_TRUE(r.complete) << r.error;
  EXPECT_FALSE(fs::exists(part));
  const std::string ref = Reference(Url("fmp4/index.m3u8"));
  EXPECT_EQ(FrameHashes(file, "v"), FrameHashes(ref, "v"));
  EXPECT_EQ(FrameHashes(file, "a"), FrameHashes(ref, "a"));
}

TEST_F(StreamDownloadTest, WrongKeyIsAClearErrorAndNoFile) {
  const std::string dir = root_->Path() + "/aes_wrong";
  fs::create_directories(dir);
  for (const auto& e : fs::directory_iterator(root_->Path() + "/aes")) fs::copy_file(e.path(), dir + "/" + e.path().filename().string(), fs::copy_options::overwrite_existing);
  WriteAll(dir + "/k.key", "fedcba9876543210");
  const std::string file = out_.File("wrong.mp4");
  const auto r = Download(Url("aes_wrong/index.m3u8"), file);
  EXPECT_FALSE(r.complete);
  EXPECT_TRUE(Contains(r.error, "key")) << r.error;
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(fs::exists(file + ".part"));
}

TEST_F(StreamDownloadTest, LivePlaylistRecordedUntilStop) {
  // A live playlist (no end) of one-second segments that gains one a second.
  const std::string dir = root_->Path() + "/live";
  fs::create_directories(dir);
  std::vector<std::string> segments;
  for (const auto& e : fs::directory_iterator(root_->Path() + "/ts"))
    if (e.path().extension() == ".ts") segments.push_back(e.path().filename().string());
  std::sort(segments.begin(), segments.end());
  for (const auto& s : segments) fs::copy_file(root_->Path() + "/ts/" + s, dir + "/" + s, fs::copy_options::overwrite_existing);
  auto publish = [&](std::size_t count) {
    std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n";
    for (std::size_t i = 0; i < count; ++i) text += "#EXTINF:1.000000,\n" + segments[i] + "\n";
    WriteAll(dir + "/live.m3u8.tmp", text);
    fs::rename(dir + "/live.m3u8.tmp", dir + "/live.m3u8");
  };
  publish(2);
  std::atomic<bool> done{false};
  std::thread grower([&] {
    for (std::size_t n = 3; n <= 5 && !done; ++n) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      publish(n);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const std::string file = out_.File("live.mp4");
  // Stop once the fifth segment is recorded (or after half a minute, which
  // the length check below then catches).
  const std::string fifth = StreamDownload::PiecesFolder(file) + "/t0-00000004.seg";
  const auto r = Download(Url("live/live.m3u8"), file, {}, [&](StreamDownload& d, const StreamProgress&) {
    if (fs::exists(fifth) || std::chrono::steady_clock::now() - start > std::chrono::seconds(30)) d.Stop();
  });
  done = true;
  grower.join();
  ASSERT_TRUE(r.complete) << r.error;
  const auto p = FfProbe(file);
  ASSERT_TRUE(p.ok);
  EXPECT_NEAR(p.duration, 5, 0.1);  // the five segments published
  const auto whole = FrameHashes(Reference(Url("ts/index.m3u8")), "v");
  const auto got = FrameHashes(file, "v");
  ASSERT_EQ(got.size(), 125u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin()));
}

// ffprobe's count of the packets of the first stream of a kind ("v", "a").
int Packets(const std::string& path, const char* kind) {
  int status = 0;
  const std::string out = RunCommand("ffprobe -v error -select_streams " + std::string(kind) +
                                         ":0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 " +
                                         ShellQuote(path) + " 2>/dev/null",
                                     &status);
  return status == 0 && !out.empty() ? std::atoi(out.c_str()) : -1;
}

// Where the top-level box `type` of an MP4 file starts and ends (inclusive).
std::pair<std::int64_t, std::int64_t> BoxRange(const std::string& bytes, const std::string& type) {
  std::size_t at = 0;
  while (at + 8 <= bytes.size()) {
    const std::uint32_t size = (std::uint32_t(static_cast<unsigned char>(bytes[at])) << 24) |
                               (std::uint32_t(static_cast<unsigned char>(bytes[at + 1])) << 16) |
                               (std::uint32_t(static_cast<unsigned char>(bytes[at + 2])) << 8) |
                               std::uint32_t(static_cast<unsigned char>(bytes[at + 3]));
    if (bytes.compare(at + 4, 4, type) == 0) return {static_cast<std::int64_t>(at), static_cast<std::int64_t>(at + size - 1)};
    if (size < 8) break;
    at += size;
  }
  return {-1, -1};
}

TEST_F(StreamDownloadTest, APieceThatIsNotMediaFailsTheDownloadNamingIt) {
  // The third segment answers 200 with something else on every try.
  const std::string page = "<!DOCTYPE html>\n<html><body><h1>Session expired</h1></body></html>\n";
  const struct {
    const char* dir;
    std::string reply;
    const char* why;
  } cases[] = {
      {"ts", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
                 "\r\nConnection: close\r\n\r\n" + page,
       "a web page (text/html) instead of media"},
      {"ts", "HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nContent-Length: " + std::to_string(page.size()) +
                 "\r\nConnection: close\r\n\r\n" + page,
       "not media (it begins \"<!DOCTYPE html>"},
      {"fmp4", "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
       "an empty body"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    ScriptedServer bad;
    for (int i = 0; i < 4; ++i) bad.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(c.reply), ScriptedServer::Close()});
    const std::string url = WithSegmentFrom(c.dir, 3, bad, "bad" + std::to_string(n) + ".m3u8");
    const std::string file = out_.File("bad" + std::to_string(n++) + ".mp4");
    const auto r = Download(url, file);
    EXPECT_FALSE(r.complete);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(bad.Connections(), 4);  // tried, and tried again
    EXPECT_TRUE(Contains(r.error, "Segment 3 could not be fetched (http://127.0.0.1:" + std::to_string(bad.Port()) +
                                      "/" + SegmentName(c.dir, 3) + ")"))
        << r.error;
    EXPECT_TRUE(Contains(r.error, c.why)) << r.error;
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(fs::exists(file + ".part"));
    // The other pieces may be kept for a retry; the bad one never is.
    EXPECT_FALSE(fs::exists(StreamDownload::PiecesFolder(file) + "/t0-00000002.seg"));
  }
}

TEST_F(StreamDownloadTest, SegmentBaseWithAnIndexJoinsLikeTheFileItIndexes) {
  const std::string dir = root_->Path() + "/ondemand";
  auto representation = [&](const std::string& file, bool withInit) {
    const std::string bytes = ReadAll(dir + "/" + file);
    const auto sidx = BoxRange(bytes, "sidx");
    EXPECT_GT(sidx.first, 0) << file;
    const bool video = file == "video.mp4";
    return std::string("<AdaptationSet contentType=\"") + (video ? "video" : "audio") + "\" mimeType=\"" +
           (video ? "video/mp4" : "audio/mp4") + "\"><Representation id=\"" + file + "\" bandwidth=\"100000\"" +
           (video ? " width=\"320\" height=\"240\"" : "") + "><BaseURL>" + file + "</BaseURL><SegmentBase indexRange=\"" +
           std::to_string(sidx.first) + "-" + std::to_string(sidx.second) + "\">" +
           (withInit ? "<Initialization range=\"0-" + std::to_string(sidx.first - 1) + "\"/>" : "") +
           "</SegmentBase></Representation></AdaptationSet>";
  };
  auto mpd = [&](const std::string& sets) {
    return "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"static\" "
           "mediaPresentationDuration=\"PT8S\" profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\"><Period>" +
           sets + "</Period></MPD>";
  };
  const struct {
    const char* name;
    std::string manifest;
    bool audio;
  } cases[] = {
      {"video with its Initialization range", mpd(representation("video.mp4", true)), false},
      {"video, the init section before the index", mpd(representation("video.mp4", false)), false},
      {"video and audio", mpd(representation("video.mp4", true) + representation("audio.mp4", false)), true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "od" + std::to_string(n++);
    WriteAll(dir + "/" + name + ".mpd", c.manifest);
    const std::string file = out_.File(name + ".mp4");
    const auto r = Download(Url("ondemand/" + name + ".mpd"), file);
    ASSERT_TRUE(r.complete) << r.error;
    EXPECT_FALSE(fs::exists(StreamDownload::PiecesFolder(file)));
    const std::string video = dir + "/video.mp4", audio = dir + "/audio.mp4";
    EXPECT_EQ(Packets(file, "v"), Packets(video, "v"));
    EXPECT_EQ(Packets(file, "v"), 200);
    EXPECT_EQ(FrameHashes(file, "v"), FrameHashes(video, "v"));
    EXPECT_NEAR(FfProbe(file).duration, FfProbe(video).duration, 1.0 / 25);
    if (c.audio) {
      EXPECT_EQ(Packets(file, "a"), Packets(audio, "a"));
      EXPECT_EQ(FrameHashes(file, "a"), FrameHashes(audio, "a"));
    } else {
      EXPECT_EQ(Packets(file, "a"), -1);
    }
    EXPECT_EQ(r.fileBytes, static_cast<std::int64_t>(fs::file_size(file)));
  }
}

TEST_F(StreamDownloadTest, ALivePlaylistThatNeverChangesEndsTheRecordingKeepingIt) {
  // Three one-second segments, no end, and nothing more ever.
  const std::string dir = root_->Path() + "/stalled";
  fs::create_directories(dir);
  std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n";
  for (int i = 0; i < 3; ++i) {
    const std::string name = SegmentName("ts", i + 1);
    fs::copy_file(root_->Path() + "/ts/" + name, dir + "/" + name, fs::copy_options::overwrite_existing);
    text += "#EXTINF:1.000000,\n" + name + "\n";
  }
  WriteAll(dir + "/live.m3u8", text);
  const std::string file = out_.File("stalled.mp4");
  const auto start = std::chrono::steady_clock::now();
  bool watchdog = false;
  StreamProgress last;
  const auto r = Download(Url("stalled/live.m3u8"), file, {}, [&](StreamDownload& d, const StreamProgress& p) {
    last = p;
    // Only so that a regression fails instead of hanging the suite.
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60)) {
      watchdog = true;
      d.Stop();
    }
  });
  EXPECT_FALSE(watchdog);
  ASSERT_TRUE(r.complete) << r.error;
  EXPECT_EQ(r.note, "The live stream sent no new piece for 3 s; the recording ends here.");
  EXPECT_FALSE(fs::exists(StreamDownload::PiecesFolder(file)));
  EXPECT_FALSE(fs::exists(file + ".part"));
  EXPECT_NEAR(FfProbe(file).duration, 3, 0.1);
  const auto whole = FrameHashes(Reference(Url("ts/index.m3u8")), "v");
  const auto got = FrameHashes(file, "v");
  ASSERT_EQ(got.size(), 75u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin()));
  EXPECT_EQ(r.fileBytes, static_cast<std::int64_t>(fs::file_size(file)));
  EXPECT_EQ(last.have, r.fileBytes);
}

TEST_F(StreamDownloadTest, DoneCountsTheFileOnDiskNotTheBytesFetched) {
  const struct {
    const char* path;
  } cases[] = {{"ts/index.m3u8"}, {"dash_timeline/manifest.mpd"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string file = out_.File(fs::path(c.path).parent_path().string() + "-count.mp4");
    StreamProgress last;
    const auto r = Download(Url(c.path), file, {}, [&](StreamDownload&, const StreamProgress& p) { last = p; });
    ASSERT_TRUE(r.complete) << r.error;
    const auto size = static_cast<std::int64_t>(fs::file_size(file));
    EXPECT_EQ(r.fileBytes, size);
    // The last progress is the file: its size, whole.
    EXPECT_EQ(last.have, size);
    EXPECT_EQ(last.expected, size);
    EXPECT_EQ(last.done, last.total);
    EXPECT_DOUBLE_EQ(last.Fraction(), 1.0);
  }
}

}  // namespace
}  // namespace larkvale::stream
