// Interoperation with a real nginx on 127.0.0.1, started by the fixture.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "http/exceptions.h"
#include "http/httpclient.h"
#include "support/nginx_server.h"

using namespace larkvale::http;
using larkvale::testing::NginxServer;
using larkvale::testing::TempDir;

namespace {
std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

class NginxInterop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    std::string www = dir_->File("www");
    std::filesystem::create_directories(www + "/sub");
    body_ = new std::string(10 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < body_->size(); ++i) (*body_)[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    std::ofstream(www + "/big.bin", std::ios::binary) << *body_;
    std::ofstream(www + "/sub/index.html") << "sub index";
    nginx_ = new NginxServer(www, "    location = /moved { return 301 /sub/index.html; }\n");
  }
  static void TearDownTestSuite() {
    delete nginx_;
    delete body_;
    delete dir_;
  }
  static TempDir* dir_;
  static std::string* body_;
  static NginxServer* nginx_;
};
TempDir* NginxInterop::dir_ = nullptr;
std::string* NginxInterop::body_ = nullptr;
NginxServer* NginxInterop::nginx_ = nullptr;

TEST_F(NginxInterop, TenMegabytesIntoAFileSinkWithKeepAlive) {
  TNetHTTP c;
  ApplyWindowConfiguration(c);
  int connects = 0;
  std::int64_t lastWork = 0;
  c.OnStatus = [&](TNetComponent*, TNetStatus s, const std::string&) { connects += s == hsConnected; };
  c.OnWork = [&](TNetComponent*, TWorkMode, std::int64_t n) { lastWork = n; };
  const std::string path = dir_->File("download.bin");
  {
    TNetFileStream file(path);
    c.Get(nginx_->BaseUrl() + "/big.bin", file);
  }
  EXPECT_EQ(lastWork, 10 * 1024 * 1024);
  EXPECT_TRUE(ReadFile(path) == *body_) << "file differs";
  // nginx honours "Connection: keep-alive" from an HTTP/1.0 client.
  EXPECT_TRUE(c.IsConnected());
  EXPECT_EQ(c.Get(nginx_->BaseUrl() + "/sub/index.html"), "sub index");
  EXPECT_EQ(connects, 1);
  c.Disconnect();
}

TEST_F(NginxInterop, FollowsA301AndRaisesA404) {
  TNetHTTP c;
  ApplyWindowConfiguration(c);
  EXPECT_EQ(c.Get(nginx_->BaseUrl() + "/moved"), "sub index");
  try {
    c.Get(nginx_->BaseUrl() + "/missing.flv");
    FAIL() << "no exception";
  } catch (const ENetHTTPProtocolException& e) {
    EXPECT_STREQ(e.what(), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(e.ReplyCode, 404);
    EXPECT_NE(e.ReplyBody.find("404 Not Found"), std::string::npos);
  }
}
