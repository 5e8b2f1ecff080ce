// The `larkvale` program end to end: run as a process against a loopback
// video site and media made by the ffmpeg CLI, outputs judged by ffprobe.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <sstream>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

#include "cli/convertoptions.h"
#include "cli/larkvale_process.h"
#include "convert/outputformats.h"
#include "engine/videoenginecore.h"
#include "support/compression.h"
#include "support/media_fixtures.h"
#include "support/nginx_server.h"
#include "support/scripted_server.h"
#include "support/video_site.h"

namespace larkvale::testing {
namespace {

namespace fs = std::filesystem;
using testsupport::FfProbe;
using testsupport::FixtureSpec;
using testsupport::MakeMediaFixture;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::int64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? std::int64_t(st.st_size) : -1;
}

// Every error is one line that names what it is about.
void ExpectOneErrorLineNaming(const LarkvaleRun& run, const std::string& named) {
  const auto lines = run.ErrLines();
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_EQ(lines[0].rfind("larkvale: ", 0), 0u) << lines[0];
  EXPECT_TRUE(Contains(lines[0], named)) << lines[0] << " does not name " << named;
}

TEST(LarkvaleCommandLine, HelpVersionAndUsage) {
  TempDir home;
  const LarkvaleRun help = RunLarkvale({"--help"}, home.Path());
  ASSERT_TRUE(help.exited);
  EXPECT_EQ(help.status, 0);
  for (const char* command : {"download", "convert", "probe", "formats"})
    EXPECT_TRUE(Contains(help.out, std::string("  ") + command + " ")) << command << " missing from\n" << help.out;

  const LarkvaleRun version = RunLarkvale({"--version"}, home.Path());
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(Contains(version.out, "larkvale 1.0.0.0")) << version.out;

  for (const char* command : {"download", "convert", "probe", "formats"}) {
    const LarkvaleRun sub = RunLarkvale({command, "--help"}, home.Path());
    EXPECT_EQ(sub.status, 0) << command;
    EXPECT_TRUE(Contains(sub.out, std::string("larkvale ") + command + " [options]")) << sub.out;
  }

  const struct {
    std::vector<std::string> args;
    std::string named;
  } bad[] = {
      {{"dance"}, "dance"},
      {{"download"}, "download"},
      {{"probe"}, "probe"},
      {{"convert", "x.mp4", "-o", "y.mp4"}, "convert"},
      {{"convert", "x.mp4", "-f", "mp3"}, "convert"},
      {{"download", "--bogus", "http://127.0.0.1:9/"}, "bogus"},
      {{"download", "--timeout", "soon", "http://127.0.0.1:9/"}, "--timeout"},
      {{"download", "--timeout", "-1", "http://127.0.0.1:9/"}, "--timeout"},
      {{"download", "--per-host", "0", "http://127.0.0.1:9/"}, "--per-host"},
      {{"download", "--per-host", "9", "http://127.0.0.1:9/"}, "--per-host"},
  };
  for (const auto& c : bad) {
    const LarkvaleRun run = RunLarkvale(c.args, home.Path());
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 2) << c.args[0] << "\n" << run.err;
    ExpectOneErrorLineNaming(run, c.named);
  }
  EXPECT_EQ(RunLarkvale({}, home.Path()).status, 2);
}

std::map<std::string, std::string> SiteEnvironment(const std::string& base) {
  return {{"LARKVALE_VIDEO_SITE", base}, {"LARKVALE_GOOGLE_VIDEO_SERVER", base}};
}

TEST(LarkvaleDownload, SavesEachVideoByteForByteUnderTheWindowsNames) {
  VideoSite site;
  TempDir home, out;
  // A name already taken is skipped, and the count goes on from there for
  // the next file, as in a pass of the queue. Links with "fmt=" save as .avi.
  WriteFileBytes(out.File("flv0video.flv"), "taken");
  const LarkvaleRun run = RunLarkvale(
      {"download", site.Url("/watch_google.html"), site.Url("/watch_standard.html"), site.Url("/watch_google.html"),
       "-o", out.Path()},
      home.Path(), SiteEnvironment(site.Base()));
  ASSERT_TRUE(run.exited);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, out.File("flv1video.flv") + "\n" + out.File("flv1video.avi") + "\n" + out.File("flv2video.flv") +
                         "\n");
  EXPECT_EQ(ReadFileBytes(out.File("flv0video.flv")), "taken");
  for (const char* name : {"flv1video.flv", "flv1video.avi", "flv2video.flv"})
    EXPECT_TRUE(ReadFileBytes(out.File(name)) == site.Video()) << name;
  // Not a terminal: one line a file.
  const auto lines = run.ErrLines();
  ASSERT_EQ(lines.size(), 3u) << run.err;
  EXPECT_TRUE(Contains(lines[0], "flv1video.flv: done")) << lines[0];
  EXPECT_TRUE(Contains(lines[1], std::to_string(site.Video().size()) + " bytes")) << lines[1];

  // Without -o: the flv/ folder of the window's working folder.
  const LarkvaleRun byDefault =
      RunLarkvale({"download", site.Url("/watch_google.html")}, home.Path(), SiteEnvironment(site.Base()));
  ASSERT_EQ(byDefault.status, 0) << byDefault.err;
  const std::string expected = home.Path() + "/larkvale/Larkvale_HD/flv/flv0video.flv";
  EXPECT_EQ(byDefault.out, expected + "\n");
  EXPECT_TRUE(ReadFileBytes(expected) == site.Video());
}

TEST(LarkvaleDownload, TheProxyComesFromTheOptionOrTheWindowsSetting) {
  VideoSite site;
  TempDir home, out;
  const std::string nowhere = "http://127.0.0.1:9";  // no proxy listens there
  const struct {
    const char* name;
    std::string stored;  // the window's "proxy" value; "" = none stored
    std::vector<std::string> option;
    bool reachesTheProxy;
  } cases[] = {
      {"option", "", {"--proxy", nowhere}, true},
      {"stored setting", nowhere, {}, true},
      {"option over the setting", nowhere, {"--proxy", "none"}, false},
      {"nothing set", "", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directories(home.Path() + "/.config/Larkvale_HD");
    {
      std::ofstream settings(home.Path() + "/.config/Larkvale_HD/settings.ini");
      settings << "[Software\\Larkvale_HD]\n";
      if (!c.stored.empty()) settings << "\"proxy\"=\"" << c.stored << "\"\n";
    }
    std::vector<std::string> args{"download", site.Url("/watch_google.html"), "-o", out.Path()};
    args.insert(args.end(), c.option.begin(), c.option.end());
    const LarkvaleRun run = RunLarkvale(args, home.Path(), SiteEnvironment(site.Base()));
    ASSERT_TRUE(run.exited);
    if (c.reachesTheProxy) {
      EXPECT_EQ(run.status, 1) << run.err;
      EXPECT_TRUE(Contains(run.err, "Proxy 127.0.0.1:9 could not be reached: Connection refused.")) << run.err;
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(ReadFileBytes(out.File("flv0video.flv")) == site.Video());
    }
    fs::remove(out.File("flv0video.flv"));
  }
}

TEST(LarkvaleDownload, FailuresNameTheAddressAndTheOthersStillDownload) {
  VideoSite site;
  TempDir home, out;
  const std::string dead = "http://127.0.0.1:9/watch?v=gone";
  const struct {
    std::string url;
    std::string says;
  } cases[] = {
      {dead, ""},
      {site.Url("/missing.html"), "404"},
      {site.Url("/no_video.html"), "no video link"},
  };
  for (const auto& c : cases) {
    const LarkvaleRun run = RunLarkvale({"download", c.url, site.Url("/watch_google.html"), "-o", out.Path()},
                                        home.Path(), SiteEnvironment(site.Base()));
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1) << c.url << "\n" << run.err;
    // The failing address's line, then the good one's progress line.
    const auto lines = run.ErrLines();
    ASSERT_EQ(lines.size(), 2u) << run.err;
    EXPECT_TRUE(Contains(lines[0], "larkvale: " + c.url + ": ")) << lines[0];
    EXPECT_TRUE(Contains(lines[0], c.says)) << lines[0];
    EXPECT_EQ(run.out, out.File("flv0video.flv") + "\n");
    EXPECT_TRUE(ReadFileBytes(out.File("flv0video.flv")) == site.Video());
    fs::remove(out.File("flv0video.flv"));
  }
  const LarkvaleRun noFolder = RunLarkvale({"download", site.Url("/watch_standard.html"), "-o", out.File("nope")},
                                           home.Path(), SiteEnvironment(site.Base()));
  EXPECT_EQ(noFolder.status, 2);
  ExpectOneErrorLineNaming(noFolder, out.File("nope"));
}

TEST(LarkvaleDownload, CtrlCStopsAndKeepsThePartWritten) {
  // A slow body, so that the interruption lands in the middle.
  TempDir root;
  std::string big(2 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
  fs::create_directories(root.Path() + "/videos");
  WriteFileBytes(root.Path() + "/videos/big.flv", big);
  WriteFileBytes(root.File("watch.html"), std::string("<html>\r\n  var swfHTML = '<embed src=\"/p.swf?video_id=") +
                                              VideoSite::kId + "&t=" + VideoSite::Token() + "\">';\r\n</html>\r\n");
  NginxServer server(root.Path(),
                     "    location = /get_video { return 303 /videos/big.flv; }\n"
                     "    location /videos/ { limit_rate 262144; }\n");
  TempDir home, out;
  LarkvaleProcess process({"download", server.BaseUrl() + "/watch.html", "-o", out.Path()}, home.Path(),
                          SiteEnvironment(server.BaseUrl()));
  // The watch page's link carries "fmt=", so the file is an .avi; it has
  // its final name only once it is whole.
  const std::string file = out.File("flv0video.avi.part");
  ASSERT_TRUE(process.WaitUntil([&] { return FileSize(file) > 0; }));
  ::kill(process.Pid(), SIGINT);
  const LarkvaleRun run = process.Wait(60000);
  EXPECT_FALSE(run.exited) << run.err;
  EXPECT_EQ(run.status, SIGINT);
  const std::string kept = ReadFileBytes(file);
  EXPECT_GT(kept.size(), 0u);
  EXPECT_LT(kept.size(), big.size());
  EXPECT_TRUE(kept == big.substr(0, kept.size()));
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(Contains(run.err, "stopped")) << run.err;
  // Beside it, the validators a resume checks (nginx sends an ETag).
  EXPECT_EQ(FilesIn(out.Path()), (std::vector<std::string>{"flv0video.avi.part", "flv0video.avi.part.state"}));
  EXPECT_TRUE(Contains(ReadFileBytes(out.File("flv0video.avi.part.state")), "\netag: \"")) << "no ETag kept";
}

// A direct video address is saved as it stands; an ordinary page gives each
// of its videos, under the names the window gives them (the count goes on
// from file to file, each file keeps its own extension).
TEST(LarkvaleDownload, VideoAddressesAndOrdinaryPagesTakeTheWindowsPaths) {
  TempDir root, home, out;
  fs::create_directories(root.Path() + "/media");
  const std::string mp4(70000, 'm'), webm = std::string(50000, 'w') + "end";
  WriteFileBytes(root.Path() + "/media/clip.mp4", mp4);
  WriteFileBytes(root.Path() + "/media/other.webm", webm);
  WriteFileBytes(root.File("page.html"),
                 "<html><body><video src=\"media/clip.mp4\"></video>\n"
                 "<video><source src=\"/media/other.webm\" type=\"video/webm\"></video></body></html>\n");
  NginxServer server(root.Path(), "    types { text/html html; video/mp4 mp4; video/webm webm; }\n");
  const LarkvaleRun run =
      RunLarkvale({"download", server.BaseUrl() + "/media/clip.mp4", server.BaseUrl() + "/page.html", "-o", out.Path()},
                  home.Path());
  ASSERT_TRUE(run.exited);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, out.File("flv0video.mp4") + "\n" + out.File("flv1video.mp4") + "\n" + out.File("flv1video.webm") +
                         "\n");
  EXPECT_TRUE(ReadFileBytes(out.File("flv0video.mp4")) == mp4);
  EXPECT_TRUE(ReadFileBytes(out.File("flv1video.mp4")) == mp4);
  EXPECT_TRUE(ReadFileBytes(out.File("flv1video.webm")) == webm);
  EXPECT_EQ(FilesIn(out.Path()), (std::vector<std::string>{"flv0video.mp4", "flv1video.mp4", "flv1video.webm"}));
  EXPECT_EQ(run.ErrLines().size(), 3u) << run.err;

  // On a terminal: a bar, redrawn in place, that ends full.
  int status = -1;
  const std::string transcript = testsupport::RunCommand(
      "env -u DISPLAY -u WAYLAND_DISPLAY HOME=" + testsupport::ShellQuote(home.Path()) + " script -qec " +
          testsupport::ShellQuote(testsupport::ShellQuote(LarkvaleExecutable()) + " download " +
                                  server.BaseUrl() + "/media/clip.mp4 -o " + testsupport::ShellQuote(out.Path())) +
          " /dev/null",
      &status);
  EXPECT_EQ(status, 0) << transcript;
  EXPECT_TRUE(Contains(transcript, "\rflv2video.mp4 [########################] 100% 68.4 KiB of 68.4 KiB  ")) << transcript;
  EXPECT_TRUE(Contains(transcript, "/s\033[K  done")) << transcript;
}

// The window queues at most 20 videos of a page; the command line saves the
// same 20 and says how many it left.
TEST(LarkvaleDownload, APageWithMoreVideosThanTheWindowQueuesSaysHowManyWereLeft) {
  TempDir root, home, out;
  WriteFileBytes(root.File("t.mp4"), "tiny");
  std::string page = "<html><body>\n";
  for (int i = 0; i < 22; ++i) page += "<a href=\"t.mp4?n=" + std::to_string(i) + "\">clip</a>\n";
  WriteFileBytes(root.File("many.html"), page + "</body></html>\n");
  NginxServer server(root.Path(), "    types { text/html html; video/mp4 mp4; }\n");
  const std::string url = server.BaseUrl() + "/many.html";
  const LarkvaleRun run = RunLarkvale({"download", url, "-o", out.Path()}, home.Path());
  ASSERT_TRUE(run.exited);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto lines = run.ErrLines();
  ASSERT_EQ(lines.size(), 21u) << run.err;
  EXPECT_EQ(lines[0], "larkvale: " + url + ": Queued 20 videos; 2 more not queued");
  const auto files = FilesIn(out.Path());
  ASSERT_EQ(files.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(ReadFileBytes(out.File("flv" + std::to_string(i) + "video.mp4")), "tiny");
}

std::string Head(const std::string& status, const std::string& headers) { return status + "\r\n" + headers + "\r\n"; }

// Every byte the server on `port` has sent on its open connections has been
// taken in by the program at the other end: acknowledged, and no longer
// waiting in the receiving socket (from /proc/net/tcp, whose ports are hex).
bool EverythingSentWasRead(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column titles
  int seen = 0;
  for (; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (state != "01") continue;  // established
    const auto portOf = [](const std::string& address) { return std::stoi(address.substr(address.find(':') + 1), nullptr, 16); };
    const bool serverSide = portOf(local) == port, clientSide = portOf(remote) == port;
    if (!serverSide && !clientSide) continue;
    ++seen;
    const auto colon = queues.find(':');
    const std::string queue = serverSide ? queues.substr(0, colon) : queues.substr(colon + 1);  // unacknowledged / unread
    if (std::stoll(queue, nullptr, 16) != 0) return false;
  }
  return seen > 0;
}

// The first run is stopped by Ctrl+C while the server has gone silent in the
// middle of the body; the second run of the same address finds the .part by
// the link it records and asks for the rest. A .part of another link under
// the first free name is left alone by both runs.
TEST(LarkvaleDownload, CtrlCOnASilentServerKeepsThePartAndTheNextRunResumesIt) {
  ScriptedServer server;
  TempDir home, out;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/clip.mp4";
  std::string body(300000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
  constexpr std::size_t kFirst = 100000;
  const std::string head = Head("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\nContent-Length: 300000\r\n");
  const std::string stranger = out.File("flv0video.mp4.part");
  WriteFileBytes(stranger, "another video's start");
  const std::string otherLink = "http://127.0.0.1:9/other.mp4";
  ASSERT_EQ(::setxattr(stranger.c_str(), "user.xdg.origin.url", otherLink.data(), otherLink.size(), 0), 0);

  // The Download action reads the head to see a video; then the file's own request.
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head + body.substr(0, 1000)),
                 ScriptedServer::WaitClose()});
  // Then silence, until the program goes away.
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head + body.substr(0, kFirst)),
                 ScriptedServer::WaitClose()});
  const std::string part = out.File("flv1video.mp4.part");
  {
    LarkvaleProcess process({"download", url, "-o", out.Path()}, home.Path());
    ASSERT_TRUE(process.WaitUntil([&] { return server.Requests().size() == 2 && EverythingSentWasRead(server.Port()); }));
    ::kill(process.Pid(), SIGINT);
    // Well before the server gives up waiting (10 s) and closes.
    const LarkvaleRun run = process.Wait(8000);
    EXPECT_FALSE(run.exited) << run.err;
    EXPECT_EQ(run.status, SIGINT) << run.err;
    EXPECT_TRUE(Contains(run.err, "flv1video.mp4: stopped")) << run.err;
  }
  // The client hands on whole 1024-byte blocks; the bytes of an incomplete
  // last block stay in its input buffer when the wait is cut.
  const std::string kept = ReadFileBytes(part);
  ASSERT_GT(kept.size(), kFirst - 1024);
  ASSERT_LE(kept.size(), kFirst);
  ASSERT_TRUE(kept == body.substr(0, kept.size()));
  const std::string have = std::to_string(kept.size());

  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head + body.substr(0, 1000)),
                 ScriptedServer::WaitClose()});
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Head("HTTP/1.0 206 Partial Content",
                                           "Content-Type: video/mp4\r\nContent-Range: bytes " + have +
                                               "-299999/300000\r\nContent-Length: " +
                                               std::to_string(body.size() - kept.size()) + "\r\n") +
                                      body.substr(kept.size())),
                 ScriptedServer::Close()});
  const LarkvaleRun run = RunLarkvale({"download", url, "-o", out.Path()}, home.Path());
  ASSERT_TRUE(run.exited);
  ASSERT_EQ(run.status, 0) << run.err;
  server.WaitIdle();
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_TRUE(Contains(requests[3], "\r\nRange: bytes=" + have + "-\r\n")) << requests[3];
  for (int i : {0, 1, 2}) EXPECT_FALSE(Contains(requests[i], "Range:")) << requests[i];
  EXPECT_EQ(run.out, out.File("flv1video.mp4") + "\n");
  EXPECT_TRUE(ReadFileBytes(out.File("flv1video.mp4")) == body);
  EXPECT_TRUE(Contains(run.err, "(300000 bytes, resumed at byte " + have + ")")) << run.err;
  EXPECT_EQ(ReadFileBytes(stranger), "another video's start");
  EXPECT_EQ(FilesIn(out.Path()), (std::vector<std::string>{"flv0video.mp4.part", "flv1video.mp4"}));
}

// Ctrl+C while a request waits for a reply that never comes: the page's and
// the file's. The program ends at once, not when the server gives up.
TEST(LarkvaleDownload, CtrlCEndsAWaitForASilentServer) {
  const std::string videoHead = Head("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\nContent-Length: 5000\r\n");
  const struct {
    const char* name;
    std::vector<ScriptedServer::Script> scripts;
    std::vector<std::string> left;  // in the download folder afterwards
  } cases[] = {
      {"the page", {{ScriptedServer::ReadRequest(), ScriptedServer::WaitClose()}}, {}},
      {"the file's head",
       {{ScriptedServer::ReadRequest(), ScriptedServer::Send(videoHead + std::string(100, 'v')),
         ScriptedServer::WaitClose()},
        {ScriptedServer::ReadRequest(), ScriptedServer::WaitClose()}},
       {"flv0video.mp4.part"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    TempDir home, out;
    for (const auto& script : c.scripts) server.Expect(script);
    LarkvaleProcess process(
        {"download", "http://127.0.0.1:" + std::to_string(server.Port()) + "/clip.mp4", "-o", out.Path()},
        home.Path());
    ASSERT_TRUE(process.WaitUntil([&] { return server.Requests().size() == c.scripts.size(); }));
    ::kill(process.Pid(), SIGINT);
    const LarkvaleRun run = process.Wait(8000);  // the server would wait 10 s
    EXPECT_FALSE(run.exited) << run.err;
    EXPECT_EQ(run.status, SIGINT) << run.err;
    EXPECT_EQ(FilesIn(out.Path()), c.left);
  }
}

// A run ended by a signal leaves nothing in TMPDIR: not its scratch folder,
// not the page's copy half written, also when a second signal ends it at once.
TEST(LarkvaleDownload, SignalsLeaveNothingInTheTemporaryFolder) {
  const std::string videoHead = Head("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\nContent-Length: 5000\r\n");
  // A page of 100000 nested elements that has begun to come, then silence.
  std::string nested;
  for (int i = 0; i < 100000; ++i) nested += "<div>";
  const std::vector<ScriptedServer::Script> pageStalls = {
      {ScriptedServer::ReadRequest(),
       ScriptedServer::Send(Head("HTTP/1.0 200 OK", "Content-Type: text/html\r\n") + nested),
       ScriptedServer::WaitClose()}};
  const std::vector<ScriptedServer::Script> fileStalls = {
      {ScriptedServer::ReadRequest(), ScriptedServer::Send(videoHead + std::string(100, 'v')),
       ScriptedServer::WaitClose()},
      {ScriptedServer::ReadRequest(), ScriptedServer::Send(videoHead + std::string(100, 'v')),
       ScriptedServer::WaitClose()}};
  const struct {
    const char* name;
    std::vector<ScriptedServer::Script> scripts;
    std::vector<int> sent;  // the signals, in order
  } cases[] = {
      {"SIGTERM while the page comes", pageStalls, {SIGTERM}},
      {"SIGINT while the page comes", pageStalls, {SIGINT}},
      {"two SIGINT while the page comes", pageStalls, {SIGINT, SIGINT}},
      {"SIGTERM while the file comes", fileStalls, {SIGTERM}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    TempDir home, out, tmp;
    for (const auto& script : c.scripts) server.Expect(script);
    LarkvaleProcess process(
        {"download", "http://127.0.0.1:" + std::to_string(server.Port()) + "/page.html", "-o", out.Path()},
        home.Path(), {{"TMPDIR", tmp.Path()}});
    ASSERT_TRUE(process.WaitUntil([&] {
      return server.Requests().size() == c.scripts.size() && EverythingSentWasRead(server.Port());
    }));
    ASSERT_FALSE(FilesIn(tmp.Path()).empty());  // the scratch folder is there meanwhile
    for (const int signal : c.sent) ::kill(process.Pid(), signal);
    const LarkvaleRun run = process.Wait(8000);  // the server would wait 10 s
    EXPECT_FALSE(run.exited) << run.err;
    EXPECT_EQ(run.status, c.sent.front()) << run.err;
    EXPECT_EQ(FilesIn(tmp.Path()), std::vector<std::string>{});
  }
}

// Replies that a server got wrong or left unfinished: each file fails with
// the reason and exit status 1, nothing is called whole, and a .part (with
// what is kept beside it) stays only when bytes of the file arrived. The
// limits are set to 1 s. A body of many small chunks counts every byte.
TEST(LarkvaleDownload, HostileRepliesFailWithTheirReason) {
  const std::string videoHead = Head("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\nContent-Length: 5000\r\n");
  const std::string chunked = Head("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\nTransfer-Encoding: chunked\r\n");
  const struct {
    const char* name;
    ScriptedServer::Script file;  // the file's own request
    const char* error;            // nullptr: done
    std::vector<std::string> left;
  } cases[] = {
      {"overflowing chunk size",
       {ScriptedServer::ReadRequest(), ScriptedServer::Send(chunked + "FFFFFFFFFFFFFFFFF\r\n"),
        ScriptedServer::SendRepeated(std::string(1024, 'c'), 1024), ScriptedServer::WaitClose()},
       "Invalid chunk size", {}},
      {"length below zero",
       {ScriptedServer::ReadRequest(),
        ScriptedServer::Send(Head("HTTP/1.0 200 OK", "Content-Length: -5\r\n") + std::string(3000, 'v')),
        ScriptedServer::Close()},
       "Invalid Content-Length \"-5\".", {}},
      {"silence before the head", {ScriptedServer::ReadRequest(), ScriptedServer::Pause(5000)},
       "No data from 127.0.0.1 for 1 s.", {}},
      {"silence in the body",
       {ScriptedServer::ReadRequest(), ScriptedServer::Send(videoHead + std::string(2048, 'v')), ScriptedServer::Pause(5000)},
       "No data from 127.0.0.1 for 1 s.", {"flv0video.mp4.part", "flv0video.mp4.part.state"}},
      {"many one-byte chunks",
       {ScriptedServer::ReadRequest(), ScriptedServer::Send(chunked), ScriptedServer::SendRepeated("1\r\nx\r\n", 100000),
        ScriptedServer::Send("0\r\n\r\n"), ScriptedServer::Close()},
       nullptr, {"flv0video.mp4"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    TempDir home, out;
    // The Download action reads the head to see a video; then the file's request.
    server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(videoHead + std::string(100, 'v')),
                   ScriptedServer::WaitClose()});
    server.Expect(c.file);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/clip.mp4";
    // (Each fault once: the retries of a time-out are tested on their own.)
    const LarkvaleRun run =
        RunLarkvale({"download", "--timeout", "1", "--retries", "0", url, "-o", out.Path()}, home.Path());
    ASSERT_TRUE(run.exited) << run.err;
    EXPECT_EQ(FilesIn(out.Path()), c.left);
    if (!c.error) {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(FileSize(out.File("flv0video.mp4")), 100000);
      EXPECT_TRUE(Contains(run.err, "flv0video.mp4: done, 97.7 KiB (100000 bytes)")) << run.err;
      continue;
    }
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(Contains(run.err, std::string("larkvale: ") + url + ": " + c.error)) << run.err;
    EXPECT_FALSE(Contains(run.err, "done")) << run.err;
    // Whole blocks of what arrived are kept (the rest waits in the client).
    if (!c.left.empty()) {
      EXPECT_GT(FileSize(out.File("flv0video.mp4.part")), 1024);
      EXPECT_LE(FileSize(out.File("flv0video.mp4.part")), 2048);
    }
  }
}

// The command line asks again after a fault that passes, as the window's
// runner does: after the server's Retry-After.
TEST(LarkvaleDownload, AFaultThatPassesIsAskedAgainAfterItsRetryAfter) {
  std::string video(60000, '\0');
  for (std::size_t i = 0; i < video.size(); ++i) video[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
  const std::string videoHead = Head("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\nContent-Length: 60000\r\nETag: \"v\"\r\n");
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(videoHead + std::string(100, 'v')),
                 ScriptedServer::WaitClose()});
  server.Expect({ScriptedServer::ReadRequest(),
                 ScriptedServer::Send(Head("HTTP/1.1 503 Service Unavailable", "Retry-After: 1\r\nContent-Length: 0\r\n")),
                 ScriptedServer::Close()});
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(videoHead + video), ScriptedServer::Close()});
  TempDir home, out;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/clip.mp4";
  const LarkvaleRun run = RunLarkvale({"download", url, "-o", out.Path()}, home.Path());
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "larkvale: flv0video.mp4: Retrying in 1 s (503 Service Unavailable)")) << run.err;
  EXPECT_TRUE(ReadFileBytes(out.File("flv0video.mp4")) == video);
  const auto spans = server.Spans();
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_GE(spans[2].accepted - spans[1].ended, std::chrono::milliseconds(900));

  // Spent retries fail with the last fault; --retries 0 asks once.
  ScriptedServer busy;
  busy.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(videoHead + std::string(100, 'v')),
               ScriptedServer::WaitClose()});
  busy.Expect({ScriptedServer::ReadRequest(),
               ScriptedServer::Send(Head("HTTP/1.1 503 Service Unavailable", "Retry-After: 1\r\nContent-Length: 0\r\n")),
               ScriptedServer::Close()});
  TempDir home2, out2;
  const std::string busyUrl = "http://127.0.0.1:" + std::to_string(busy.Port()) + "/clip.mp4";
  const LarkvaleRun once = RunLarkvale({"download", "--retries", "0", busyUrl, "-o", out2.Path()}, home2.Path());
  ASSERT_TRUE(once.exited) << once.err;
  EXPECT_EQ(once.status, 1) << once.err;
  EXPECT_FALSE(Contains(once.err, "Retrying")) << once.err;
  EXPECT_TRUE(Contains(once.err, "503 Service Unavailable")) << once.err;
  EXPECT_EQ(busy.Requests().size(), 2u);
}

// "done" counts the file on disk: a video sent compressed anyway counts its
// decoded bytes, not those on the wire.
TEST(LarkvaleDownload, DoneCountsTheBytesOnDisk) {
  std::string video(50000, '\0');
  std::uint32_t x = 99;
  for (auto& c : video) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  const std::string gz = GzipBytes(video);
  const std::string head = Head("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\nContent-Encoding: gzip\r\nContent-Length: " +
                                                       std::to_string(gz.size()) + "\r\n");
  ScriptedServer server;
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head + gz.substr(0, 100)), ScriptedServer::WaitClose()});
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head + gz), ScriptedServer::Close()});
  TempDir home, out;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/clip.mp4";
  const LarkvaleRun run = RunLarkvale({"download", url, "-o", out.Path()}, home.Path());
  ASSERT_TRUE(run.exited) << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(FileSize(out.File("flv0video.mp4")), 50000);
  EXPECT_TRUE(Contains(run.err, "(50000 bytes)")) << run.err;
}

// Several addresses at once: with --parallel 4 the files come together (the
// servers' logs overlap), under the names one at a time gives them.
TEST(LarkvaleDownload, SeveralAddressesRunTogetherUnderTheNamesOneAtATimeGives) {
  std::vector<std::string> videos;
  for (int i = 0; i < 4; ++i) {
    std::string v(40000 + i * 1000, '\0');
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = static_cast<char>((k * 131 + i * 17) & 0xff);
    videos.push_back(v);
  }
  std::vector<std::string> names[2];
  for (const int parallel : {1, 4}) {
    SCOPED_TRACE(parallel);
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    std::vector<std::string> args{"download", "--parallel", std::to_string(parallel)};
    for (int i = 0; i < 4; ++i) {
      servers.push_back(std::make_unique<ScriptedServer>());
      const std::string head = Head("HTTP/1.0 200 OK", "Content-Type: video/mp4\r\nContent-Length: " +
                                                           std::to_string(videos[i].size()) + "\r\n");
      // The Download action reads the head to see a video; then the file, paced.
      servers[i]->Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head + std::string(100, 'v')),
                          ScriptedServer::WaitClose()});
      ScriptedServer::Script file{ScriptedServer::ReadRequest(), ScriptedServer::Send(head)};
      for (std::size_t at = 0; at < videos[i].size(); at += 10000) {
        file.push_back(ScriptedServer::Pause(60));
        file.push_back(ScriptedServer::Send(videos[i].substr(at, 10000)));
      }
      file.push_back(ScriptedServer::Close());
      servers[i]->Expect(file);
      args.push_back("http://127.0.0.1:" + std::to_string(servers[i]->Port()) + "/clip" + std::to_string(i) + ".mp4");
    }
    TempDir home, out;
    args.push_back("-o");
    args.push_back(out.Path());
    const LarkvaleRun run = RunLarkvale(args, home.Path());
    ASSERT_TRUE(run.exited) << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
    // One line per file, as each ends; their paths in row order on standard output.
    std::istringstream paths(run.out);
    for (std::string line; std::getline(paths, line);) names[parallel == 1 ? 0 : 1].push_back(fs::path(line).filename());
    for (int i = 0; i < 4; ++i) {
      SCOPED_TRACE(i);
      EXPECT_TRUE(ReadFileBytes(out.File("flv" + std::to_string(i) + "video.mp4")) == videos[i]);
    }
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 4) << run.err;
    std::vector<ScriptedServer::Span> files;
    for (const auto& server : servers) {
      ASSERT_EQ(server->Spans().size(), 2u);
      files.push_back(server->Spans()[1]);
    }
    auto latestStart = files[0].accepted;
    auto earliestEnd = files[0].ended;
    for (const auto& f : files) {
      latestStart = std::max(latestStart, f.accepted);
      earliestEnd = std::min(earliestEnd, f.ended);
    }
    if (parallel == 1)
      for (int i = 1; i < 4; ++i) EXPECT_LE(files[i - 1].ended, files[i].accepted) << i;
    else
      EXPECT_LT(latestStart, earliestEnd) << "the four files did not come at the same time";
  }
  std::sort(names[1].begin(), names[1].end());
  EXPECT_EQ(names[0], (std::vector<std::string>{"flv0video.mp4", "flv1video.mp4", "flv2video.mp4", "flv3video.mp4"}));
  EXPECT_EQ(names[1], names[0]);
}

// The command line resumes as the window does: a .part of a file that has
// changed on the server is replaced by the new file, not continued.
TEST(LarkvaleDownload, AResumeOfAChangedFileStartsAgain) {
  ScriptedServer server;
  TempDir home, out;
  const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/clip.mp4";
  const std::string oldBody(300000, 'o'), newBody(300000, 'n');
  const auto head = [](const char* etag) {
    return Head("HTTP/1.0 200 OK",
                std::string("Content-Type: video/mp4\r\nETag: ") + etag + "\r\nContent-Length: 300000\r\n");
  };
  // First run: the file's body stops half-way.
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head("\"1\"") + oldBody.substr(0, 1000)),
                 ScriptedServer::WaitClose()});
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head("\"1\"") + oldBody.substr(0, 150000)),
                 ScriptedServer::Close()});
  const LarkvaleRun first = RunLarkvale({"download", url, "-o", out.Path()}, home.Path());
  ASSERT_EQ(first.status, 1) << first.err;
  ASSERT_EQ(FileSize(out.File("flv0video.mp4.part")), 150000);
  // Second run: the server's file has changed; it honours If-Range.
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head("\"2\"") + newBody.substr(0, 1000)),
                 ScriptedServer::WaitClose()});
  server.Expect({ScriptedServer::ReadRequest(), ScriptedServer::Send(head("\"2\"") + newBody), ScriptedServer::Close()});
  const LarkvaleRun second = RunLarkvale({"download", url, "-o", out.Path()}, home.Path());
  ASSERT_EQ(second.status, 0) << second.err;
  server.WaitIdle();
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_TRUE(Contains(requests[3], "\r\nRange: bytes=150000-\r\n")) << requests[3];
  EXPECT_TRUE(Contains(requests[3], "\r\nIf-Range: \"1\"\r\n")) << requests[3];
  EXPECT_TRUE(ReadFileBytes(out.File("flv0video.mp4")) == newBody);
  EXPECT_EQ(FilesIn(out.Path()), std::vector<std::string>{"flv0video.mp4"});
}

// Two short clips for the converter, made once.
class LarkvaleMedia : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    FixtureSpec first;
    first.seconds = 2;
    FixtureSpec second;
    second.seconds = 1;
    second.width = 176;
    second.height = 144;
    second.fps = 15;
    second.sampleRate = 22050;
    second.channels = 1;
    ASSERT_TRUE(MakeMediaFixture(dir_->File("first.mp4"), first));
    ASSERT_TRUE(MakeMediaFixture(dir_->File("second.avi"), second));
    WriteFileBytes(dir_->File("notes.txt"), "not a video\n");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string First() { return dir_->File("first.mp4"); }
  static std::string Second() { return dir_->File("second.avi"); }
  static std::string Text() { return dir_->File("notes.txt"); }
  static TempDir* dir_;
};
TempDir* LarkvaleMedia::dir_ = nullptr;

TEST_F(LarkvaleMedia, ConvertJoinsTheInputsIntoTheChosenFormat) {
  TempDir home, out;
  const struct {
    std::vector<std::string> options;
    std::string file;
    std::string videoCodec;  // empty: no picture
    int width, height;
    std::string audioCodec;
    int channels;
  } cases[] = {
      {{"-f", "ipod", "--width", "320", "--height", "240"}, "clip.mp4", "h264", 320, 240, "aac", 2},
      {{"-f", "DVD-PAL"}, "clip.mpg", "mpeg2video", 720, 576, "", 2},
      {{"-f", "avi", "--width", "160", "--height", "120", "--rate", "15"}, "clip.avi", "", 160, 120, "", 0},
      {{"-f", "Mp3", "--audio-bitrate", "96"}, "clip.mp3", "", 0, 0, "mp3", 0},
      {{"-f", "wav", "--bits", "8", "--audio-channels", "1", "--audio-sample-rate", "22050"}, "clip.wav", "", 0, 0,
       "pcm_u8", 1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"convert", First(), Second(), "-o", out.File(c.file)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const LarkvaleRun run = RunLarkvale(args, home.Path());
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << c.file << "\n" << run.err;
    const auto probed = FfProbe(out.File(c.file));
    ASSERT_TRUE(probed.ok) << c.file;
    // Both inputs, one after the other.
    EXPECT_NEAR(probed.duration, 3.0, 0.3) << c.file;
    if (!c.videoCodec.empty()) EXPECT_EQ(probed.video.codec, c.videoCodec) << c.file;
    if (c.width) {
      EXPECT_EQ(probed.video.width, c.width) << c.file;
      EXPECT_EQ(probed.video.height, c.height) << c.file;
    } else {
      EXPECT_EQ(probed.video.codec, "") << c.file;
    }
    if (!c.audioCodec.empty()) EXPECT_EQ(probed.audio.codec, c.audioCodec) << c.file;
    if (c.channels) EXPECT_EQ(probed.audio.channels, c.channels) << c.file;
    EXPECT_EQ(run.out, "");
  }
  // The AVI rate option reached the file.
  EXPECT_NEAR(FfProbe(out.File("clip.avi")).video.fps, 15, 0.01);
  EXPECT_EQ(FfProbe(out.File("clip.wav")).audio.sampleRate, 22050);
  // Nothing but the outputs was left in the folder.
  EXPECT_EQ(FilesIn(out.Path()),
            (std::vector<std::string>{"clip.avi", "clip.mp3", "clip.mp4", "clip.mpg", "clip.wav"}));
}

TEST_F(LarkvaleMedia, ConvertCopyJoinsAlikeFilesAndEachWritesOneFilePerInput) {
  TempDir home, media, out;
  FixtureSpec part;
  part.seconds = 1;
  part.codecArgs = "-c:v libx264 -preset ultrafast -c:a aac";
  ASSERT_TRUE(MakeMediaFixture(media.File("a.mp4"), part));
  ASSERT_TRUE(MakeMediaFixture(media.File("b.mp4"), part));
  // --copy: one file in the first input's container, nothing re-encoded.
  const LarkvaleRun copy =
      RunLarkvale({"convert", "--copy", media.File("a.mp4"), media.File("b.mp4"), "-o", out.File("ab.mp4")}, home.Path());
  ASSERT_TRUE(copy.exited);
  ASSERT_EQ(copy.status, 0) << copy.err;
  const auto joined = FfProbe(out.File("ab.mp4"));
  EXPECT_EQ(joined.video.codec, "h264");
  EXPECT_NEAR(joined.duration, 2.0, 0.1);
  // Files that differ are named, and nothing is written.
  const LarkvaleRun differ =
      RunLarkvale({"convert", "--copy", media.File("a.mp4"), First(), "-o", out.File("never.mp4")}, home.Path());
  ASSERT_TRUE(differ.exited);
  EXPECT_EQ(differ.status, 1) << differ.err;
  EXPECT_TRUE(Contains(differ.err, "first.mp4: ")) << differ.err;
  EXPECT_FALSE(std::filesystem::exists(out.File("never.mp4")));

  // --each: one file per input in the folder, under free names, listed on
  // standard output.
  const std::string folder = out.File("each");
  std::filesystem::create_directory(folder);
  WriteFileBytes(folder + "/first.mp4", "mine");
  const LarkvaleRun each = RunLarkvale({"convert", "--each", "-f", "mp4", "--quality", "30", First(), Second(), "-o", folder},
                                       home.Path());
  ASSERT_TRUE(each.exited);
  ASSERT_EQ(each.status, 0) << each.err;
  EXPECT_EQ(each.out, folder + "/first (2).mp4\n" + folder + "/second.mp4\n");
  EXPECT_EQ(ReadFileBytes(folder + "/first.mp4"), "mine");
  const auto second = FfProbe(folder + "/second.mp4");
  EXPECT_EQ(second.video.codec, "h264");
  EXPECT_EQ(second.video.width, 176);  // the source's size
  EXPECT_NEAR(second.duration, 1.0, 0.2);
  EXPECT_NEAR(FfProbe(folder + "/first (2).mp4").duration, 2.0, 0.2);

  // Refused before anything runs.
  const struct {
    std::vector<std::string> args;
    std::string named;
  } bad[] = {
      {{"--copy", "--each", "-o", folder}, "--each"},
      {{"--copy", "-f", "mp3", "-o", out.File("x.mp3")}, "--copy"},
      {{"--copy", "--width", "640", "-o", out.File("x.mp4")}, "--width"},
      {{"--each", "-f", "mp3", "-o", out.File("nofolder")}, "nofolder"},
      {{"-f", "webm", "--quality", "64", "-o", out.File("x.webm")}, "--quality 64"},
  };
  for (const auto& c : bad) {
    std::vector<std::string> args{"convert", First()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const LarkvaleRun run = RunLarkvale(args, home.Path());
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 2) << c.named << "\n" << run.err;
    ExpectOneErrorLineNaming(run, c.named);
  }
}

TEST_F(LarkvaleMedia, ConvertRefusesBadFormatsOptionsAndInputsBeforeWriting) {
  TempDir home, out;
  const std::string target = out.File("out.mpg");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string named;
    std::string says;
  } cases[] = {
      {{"-f", "betamax"}, 2, "betamax", "unknown format"},
      {{"-f", "vcd-pal", "--width", "5"}, 2, "--width 5", "File Width must be between 16 and 4096 pixels (is 5)."},
      {{"-f", "flv", "--audio-channels", "3"}, 2, "--audio-channels 3", "Audio channels"},
      {{"-f", "mp3", "--audio-sample-rate", "0"}, 2, "--audio-sample-rate 0", "Audio sample rate"},
      {{"-f", "avi", "--rate", "fast"}, 2, "--rate fast", "'fast' is not a valid integer value"},
      {{"-f", "mp3", "--rate", "10"}, 2, "--rate", "does not apply to MP3"},
      {{"-f", "3gp", "--audio-codec", "opus"}, 2, "--audio-codec opus", "AAC, AMR"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"convert", First(), "-o", target};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const LarkvaleRun run = RunLarkvale(args, home.Path());
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, c.status) << c.named << "\n" << run.err;
    ExpectOneErrorLineNaming(run, c.named);
    EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
  }
  // Inputs that cannot be read: each one named, nothing converted.
  const std::string missing = out.File("missing.mp4");
  const LarkvaleRun run = RunLarkvale({"convert", First(), missing, Text(), "-f", "mpeg-1", "-o", target}, home.Path());
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.status, 1) << run.err;
  const auto lines = run.ErrLines();
  ASSERT_EQ(lines.size(), 2u) << run.err;
  EXPECT_TRUE(Contains(lines[0], missing + ": no such file")) << lines[0];
  EXPECT_TRUE(Contains(lines[1], Text() + ": not a media file")) << lines[1];
  EXPECT_TRUE(FilesIn(out.Path()).empty());
}

TEST_F(LarkvaleMedia, CtrlCDuringAConversionLeavesNoOutput) {
  TempDir home, media, out;
  FixtureSpec longer;
  longer.seconds = 40;
  longer.codecArgs = "-c:v mpeg4 -q:v 5 -c:a mp2";
  ASSERT_TRUE(MakeMediaFixture(media.File("long.avi"), longer));
  // An earlier output of that name stays as it was.
  const std::string target = out.File("long.mpg");
  WriteFileBytes(target, "earlier");
  LarkvaleProcess process({"convert", media.File("long.avi"), "-f", "dvd-ntsc", "-o", target}, home.Path());
  // The engine's temporary file beside the target shows the save has begun.
  ASSERT_TRUE(process.WaitUntil([&] { return FilesIn(out.Path()).size() > 1; }));
  ::kill(process.Pid(), SIGINT);
  const LarkvaleRun run = process.Wait(60000);
  EXPECT_FALSE(run.exited) << "exit status " << run.status << "\n" << run.err;
  EXPECT_EQ(run.status, SIGINT);
  EXPECT_EQ(FilesIn(out.Path()), std::vector<std::string>{"long.mpg"});
  EXPECT_EQ(ReadFileBytes(target), "earlier");
}

// A video whose pictures all declare a size no decoder takes: the conversion
// fails with exit 1, one line naming the file and why, and no output.
TEST_F(LarkvaleMedia, ConvertOfUndecodableVideoFailsAndWritesNothing) {
  TempDir home, media, out;
  for (const int side : {20000, 0}) {
    SCOPED_TRACE(side);
    const std::string input = media.File("pictures-" + std::to_string(side) + ".flv");
    ASSERT_TRUE(testsupport::MakeFlvDeclaringPictureSize(input, 3, side, side));
    const LarkvaleRun run = RunLarkvale({"convert", input, "-f", "flv", "-o", out.File("out.flv")}, home.Path());
    ASSERT_TRUE(run.exited) << run.err;
    EXPECT_EQ(run.status, 1) << run.err;
    const std::string lastLine = run.ErrLines().empty() ? "" : run.ErrLines().back();
    EXPECT_TRUE(Contains(lastLine, input) && Contains(lastLine, "decoded")) << run.err;
    EXPECT_EQ(FilesIn(out.Path()), std::vector<std::string>{});
  }
}

TEST_F(LarkvaleMedia, ProbeShowsTheEnginesFigures) {
  TempDir home;
  engine::VideoEngineCore engine;
  const LarkvaleRun json = RunLarkvale({"probe", "--json", First(), Second()}, home.Path());
  ASSERT_EQ(json.status, 0) << json.err;
  const QJsonArray all = QJsonDocument::fromJson(QByteArray::fromStdString(json.out)).array();
  ASSERT_EQ(all.size(), 2) << json.out;
  const std::string files[] = {First(), Second()};
  for (int i = 0; i < 2; ++i) {
    const QJsonObject o = all[i].toObject();
    const QString file = QString::fromStdString(files[i]);
    EXPECT_EQ(o["file"].toString(), file);
    EXPECT_EQ(o["duration"].toDouble(), engine.GetFileDuration(file));
    EXPECT_EQ(o["width"].toInt(), engine.GetFileWidth(file));
    EXPECT_EQ(o["height"].toInt(), engine.GetFileHeight(file));
    EXPECT_EQ(o["frameRate"].toDouble(), engine.GetFileFrameRate(file));
    EXPECT_EQ(o["durationText"].toString(), convert::DurationText(engine.GetFileDuration(file)));
  }
  EXPECT_EQ(all[1].toObject()["width"].toInt(), 176);
  EXPECT_EQ(all[1].toObject()["frameRate"].toDouble(), 15);

  const LarkvaleRun text = RunLarkvale({"probe", Second(), Text()}, home.Path());
  EXPECT_EQ(text.status, 1);
  EXPECT_TRUE(Contains(text.out, "Duration:   " + convert::DurationText(engine.GetFileDuration(
                                                      QString::fromStdString(Second()))).toStdString()))
      << text.out;
  EXPECT_TRUE(Contains(text.out, "Width:      176\n  Height:     144\n  Frame rate: 15\n")) << text.out;
  ExpectOneErrorLineNaming(text, Text());
}

TEST(LarkvaleFormats, EveryNameListedFindsItsFormat) {
  TempDir home;
  const LarkvaleRun names = RunLarkvale({"formats", "--names"}, home.Path());
  ASSERT_EQ(names.status, 0);
  std::istringstream in(names.out);
  int index = 0;
  for (std::string name; std::getline(in, name); ++index) {
    EXPECT_EQ(cli::FindFormat(QString::fromStdString(name)), index) << name;
    // The list's own entry, in any case, finds it too.
    const QString entry = convert::OutputFormats().at(size_t(index)).entry;
    EXPECT_EQ(cli::FindFormat(entry.toUpper()), index);
    EXPECT_EQ(cli::FindFormat(entry.toLower()), index);
  }
  EXPECT_EQ(index, 22);
  EXPECT_EQ(cli::FindFormat("mp4"), 19);
  EXPECT_EQ(cli::FindFormat("webm"), 20);
  EXPECT_EQ(cli::FindFormat("copy"), convert::JoinFormat());
  EXPECT_EQ(cli::FindFormat("dvd-pal"), cli::FindFormat("DVD_PAL"));
  EXPECT_EQ(cli::FindFormat("mpeg1"), cli::FindFormat("MPEG 1"));
  EXPECT_EQ(cli::FindFormat("dvd"), -1);
  EXPECT_EQ(cli::FindFormat(""), -1);

  const LarkvaleRun all = RunLarkvale({"formats"}, home.Path());
  ASSERT_EQ(all.status, 0);
  // The page's defaults, under the formats whose panels show them.
  EXPECT_TRUE(Contains(all.out, "--video-bitrate BPS")) << all.out;
  EXPECT_TRUE(Contains(all.out, "default: 4600000"));
  EXPECT_TRUE(Contains(all.out, "default: 512000"));
  EXPECT_TRUE(Contains(all.out, "--bits BITS                default: 16")) << all.out;
}

TEST(LarkvaleCompletion, InstalledWithTheProgramAndValidBash) {
  TempDir prefix;
  int status = -1;
  const std::string log = testsupport::RunCommand(
      "cmake --install " + testsupport::ShellQuote(std::string(LARKVALE_APPDIR) + "..") +
          " --component cli --prefix " + testsupport::ShellQuote(prefix.Path()) + " 2>&1",
      &status);
  ASSERT_EQ(status, 0) << log;
  const std::string completion = prefix.Path() + "/share/bash-completion/completions/larkvale";
  EXPECT_GT(FileSize(prefix.Path() + "/bin/larkvale"), 0);
  ASSERT_GT(FileSize(completion), 0);
  testsupport::RunCommand("bash -n " + testsupport::ShellQuote(completion) + " 2>&1", &status);
  EXPECT_EQ(status, 0);
  // Every option of convert is offered.
  const std::string text = ReadFileBytes(completion);
  for (const cli::ConvertOption& o : cli::ConvertOptions())
    EXPECT_TRUE(Contains(text, "--" + o.name.toStdString())) << o.name.toStdString();
}

}  // namespace
}  // namespace larkvale::testing
