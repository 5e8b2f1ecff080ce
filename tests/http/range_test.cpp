// Range requests and replies past 4 GiB: a resumed download asks for the
// rest of a large file and reads where the server's part starts.
#include <gtest/gtest.h>

#include <string>

#include "http/httpclient.h"
#include "support/scripted_server.h"

namespace larkvale::http {
namespace {

using S = testing::ScriptedServer;

TEST(HttpRange, RequestAndReplyBoundsPastFourGiB) {
  S server;
  server.Expect({S::ReadRequest(),
                 S::Send("HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 5000000000-5000000004/5000000005\r\n"
                         "Content-Length: 5\r\n\r\nhello"),
                 S::Close()});
  TNetHTTP client;
  ApplyWindowConfiguration(client);
  client.Request.ContentRangeStart = 5000000000LL;
  EXPECT_EQ(client.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/big.flv"), "hello");
  server.WaitIdle();
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_NE(server.Requests()[0].find("\r\nRange: bytes=5000000000-\r\n"), std::string::npos) << server.Requests()[0];
  EXPECT_EQ(client.Response.StatusCode(), 206);
  EXPECT_EQ(client.Response.ContentRangeStart, 5000000000LL);
  EXPECT_EQ(client.Response.ContentRangeEnd, 5000000004LL);
}

}  // namespace
}  // namespace larkvale::http
