// Compressed replies: gzip and deflate bodies decoded on their way to the
// sink, a decoded size limit against bombs, and what a reply compressed
// without being asked for turns into.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/decoding.h"
#include "http/exceptions.h"
#include "http/httpclient.h"
#include "support/compression.h"
#include "support/scripted_server.h"

using namespace larkvale::http;
using larkvale::testing::ScriptedServer;
using S = ScriptedServer;

namespace {

std::string Compressed(const std::string& data, int windowBits) {
  return larkvale::testing::DeflateBytes(data, windowBits);
}
std::string Gzip(const std::string& data) { return larkvale::testing::GzipBytes(data); }

std::string PageText() {
  std::string page = "<html><head><title>watch</title></head><body>\n";
  for (int i = 0; i < 4000; ++i) page += "<p>line " + std::to_string(i) + " of a long page</p>\n";
  return page + "</body></html>\n";
}

std::string Reply(const std::string& encoding, const std::string& body, bool chunked = false) {
  std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n";
  if (!encoding.empty()) head += "Content-Encoding: " + encoding + "\r\n";
  if (!chunked) return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  std::string out = head + "Transfer-Encoding: chunked\r\n\r\n";
  for (std::size_t at = 0; at < body.size(); at += 700) {
    const std::string piece = body.substr(at, 700);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", piece.size());
    out += std::string(size) + "\r\n" + piece + "\r\n";
  }
  return out + "0\r\n\r\n";
}

}  // namespace

TEST(Decoding, CompressedBodiesArriveDecoded) {
  const std::string page = PageText();
  const std::string gz = Gzip(page);
  const struct {
    const char* name;
    std::string encoding, body;
    bool chunked;
  } cases[] = {
      {"gzip", "gzip", gz, false},
      {"gzip, chunked", "gzip", gz, true},
      {"x-gzip", "x-gzip", gz, false},
      {"deflate with zlib header", "deflate", Compressed(page, 15), false},
      {"raw deflate", "Deflate", Compressed(page, -15), true},
      // Two gzip members make one body.
      {"gzip members", "gzip", Gzip(page.substr(0, 1000)) + Gzip(page.substr(1000)), false},
      {"identity", "identity", page, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(Reply(c.encoding, c.body, c.chunked)), S::Close()});
    TNetHTTP client;
    ApplyWindowConfiguration(client);
    std::int64_t worked = 0;
    client.OnWork = [&](TNetComponent*, TWorkMode m, std::int64_t n) {
      if (m == wmRead) worked = n;
    };
    EXPECT_TRUE(client.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/p") == page);
    // Work events count the bytes as they came over the wire.
    if (!c.chunked) EXPECT_EQ(worked, static_cast<std::int64_t>(c.body.size()));
  }
}

// A client that does not decode gets every coding as it came, one it could
// decode as well as one it could not.
TEST(Decoding, ClientsThatDoNotDecodeGetCodingsAsTheyCame) {
  const std::string gz = Gzip(PageText());
  for (const char* coding : {"gzip", "br"}) {
    SCOPED_TRACE(coding);
    S server;
    server.Expect({S::ReadRequest(), S::Send(Reply(coding, gz)), S::Close()});
    TNetHTTP plain;  // DecodeContent off
    EXPECT_TRUE(plain.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/p") == gz);
  }
}

// A decoding client takes only what it can undo: any other coding fails the
// call, naming the coding, before a byte of the body reaches the sink (it
// would otherwise be saved still encoded and called done).
TEST(Decoding, CodingsWeCannotUndoFailBeforeAnyByteReachesTheSink) {
  const std::string gz = Gzip(PageText());
  const struct {
    const char* name;
    std::string encoding;
    bool chunked;
    std::string message;
  } cases[] = {
      {"br", "br", false, "The server sent the reply compressed as br, which cannot be decoded."},
      {"br, chunked", "br", true, "The server sent the reply compressed as br, which cannot be decoded."},
      {"compress", "compress", false, "The server sent the reply compressed as compress, which cannot be decoded."},
      {"a name nobody knows", "x-lark", false, "The server sent the reply compressed as x-lark, which cannot be decoded."},
      {"br applied last", "gzip, br", false, "The server sent the reply compressed as br, which cannot be decoded."},
      {"br applied first", "br, gzip", false, "The server sent the reply compressed as br, which cannot be decoded."},
      {"beside identity", "identity, zstd", false,
       "The server sent the reply compressed as zstd, which cannot be decoded."},
      {"on a second header line", "gzip\r\nContent-Encoding: br", false,
       "The server sent the reply compressed as br, which cannot be decoded."},
      {"a name with control bytes", "b\x1b[2Jr", false,
       "The server sent the reply compressed as b\\x1b[2Jr, which cannot be decoded."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(Reply(c.encoding, gz, c.chunked)), S::Close()});
    TNetHTTP client;
    ApplyWindowConfiguration(client);
    TNetMemoryStream sink;
    try {
      client.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/v.mp4", sink);
      ADD_FAILURE() << "saved as it came";
    } catch (const ENetContentDecodingError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_EQ(sink.Size(), 0);
    EXPECT_FALSE(client.IsConnected());
  }
}

// "gzip, gzip" was decoded once and written half-decoded. The codings are
// listed in the order they were applied: the last is undone first.
TEST(Decoding, StackedCodingsAreUndoneLastFirst) {
  const std::string page = PageText();
  const struct {
    const char* name;
    std::string encoding, body;
    bool chunked;
  } cases[] = {
      {"gzip, gzip", "gzip, gzip", Gzip(Gzip(page)), false},
      {"gzip, gzip, chunked", "gzip, gzip", Gzip(Gzip(page)), true},
      {"deflate, then gzip", "deflate, gzip", Gzip(Compressed(page, 15)), false},
      {"gzip, then raw deflate", "gzip, identity, deflate", Compressed(Gzip(page), -15), true},
      {"x-gzip, then deflate, then gzip", "X-Gzip,deflate , gzip", Gzip(Compressed(Gzip(page), 15)), false},
      {"one coding per header line", "deflate\r\nContent-Encoding: gzip", Gzip(Compressed(page, -15)), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(Reply(c.encoding, c.body, c.chunked)), S::Close()});
    TNetHTTP client;
    ApplyWindowConfiguration(client);
    EXPECT_TRUE(client.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/p") == page);
  }
}

// Stacked codings keep the single coding's errors and bound.
TEST(Decoding, StackedCodingsKeepTheCorruptDataErrorsAndTheSizeBound) {
  const std::string page = PageText();
  std::string badCheck = Gzip(page);
  badCheck[badCheck.size() - 6] = static_cast<char>(badCheck[badCheck.size() - 6] ^ 0x01);  // in the CRC-32
  struct Case {
    const char* name;
    std::string encoding, body;
    std::int64_t limit;
    const char* message;
  } cases[] = {
      {"corrupt inner gzip", "gzip, gzip", Gzip(badCheck), -1, "The compressed reply is corrupt: incorrect data check."},
      {"a bomb two codings deep", "gzip, gzip", Gzip(Gzip(std::string(64 << 20, '\0'))), 1 << 20,
       "The reply is larger than 1 MiB once decompressed and was refused as too large."},
      {"more codings than are undone", "gzip, gzip, gzip, gzip, gzip", Gzip(Gzip(Gzip(Gzip(Gzip(page))))), -1,
       "The server sent the reply compressed more than 4 times over, which cannot be decoded."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(Reply(c.encoding, c.body)), S::Close()});
    TNetHTTP client;
    ApplyWindowConfiguration(client);
    client.MaxDecodedBodyBytes = c.limit;
    TNetMemoryStream sink;
    try {
      client.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/p", sink);
      ADD_FAILURE() << "passed off as a page";
    } catch (const ENetException& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_LE(sink.Size(), 1 << 20);
  }
}

TEST(Decoding, CorruptAndTruncatedBodiesFail) {
  const std::string gz = Gzip(PageText());
  std::string corrupt = gz;
  for (std::size_t i = 20; i < 60; ++i) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5a);
  const std::string cut = gz.substr(0, gz.size() / 2);
  struct Case {
    const char* name;
    std::string reply;
    bool incomplete;  // else: corrupt
  } cases[] = {
      {"corrupt", Reply("gzip", corrupt), false},
      // Complete as far as HTTP goes (the length matches), but the gzip
      // stream stops half-way.
      {"truncated stream", Reply("gzip", cut), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    S server;
    server.Expect({S::ReadRequest(), S::Send(c.reply), S::Close()});
    TNetHTTP client;
    ApplyWindowConfiguration(client);
    TNetMemoryStream sink;
    try {
      client.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/p", sink);
      ADD_FAILURE() << "passed off as a page";
    } catch (const ENetBodyIncomplete&) {
      EXPECT_TRUE(c.incomplete);
    } catch (const ENetContentDecodingError& e) {
      EXPECT_FALSE(c.incomplete) << e.what();
    }
  }
}

TEST(Decoding, AGzipBombIsRefusedAtTheLimitWithoutReadingItAll) {
  // 10 GiB of zeros as 10240 gzip members of 1 MiB each: about 10 MB sent
  // at most, a few hundred kilobytes before the limit stops the read.
  const std::string member = Gzip(std::string(1 << 20, '\0'));
  const std::int64_t members = 10240;
  S server;
  server.Expect({S::ReadRequest(),
                 S::Send("HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                         std::to_string(members * static_cast<std::int64_t>(member.size())) + "\r\n\r\n"),
                 S::SendRepeated(member, static_cast<int>(members))});
  TNetHTTP client;
  ApplyWindowConfiguration(client);
  client.MaxDecodedBodyBytes = 64LL << 20;
  std::int64_t worked = 0;
  client.OnWork = [&](TNetComponent*, TWorkMode, std::int64_t n) { worked = n; };
  TNetMemoryStream sink;
  try {
    client.Get("http://127.0.0.1:" + std::to_string(server.Port()) + "/bomb", sink);
    ADD_FAILURE() << "took the bomb";
  } catch (const ENetBodyTooLarge& e) {
    EXPECT_STREQ(e.what(), "The reply is larger than 64 MiB once decompressed and was refused as too large.");
  }
  EXPECT_LE(sink.Size(), 64LL << 20);
  EXPECT_GE(sink.Size(), 63LL << 20);
  EXPECT_LT(worked, 65 * static_cast<std::int64_t>(member.size()) + 64 * 1024);
  EXPECT_FALSE(client.IsConnected());
}

TEST(Decoding, AVideoCompressedUnaskedIsWrittenDecodedAndAPartOfOneIsRefused) {
  std::string video(700 * 1024, '\0');
  for (std::size_t i = 0; i < video.size(); ++i) video[i] = static_cast<char>((i * 7 + i / 300) & 0xff);
  const std::string gz = Gzip(video);
  S server;
  server.Expect({S::ReadRequest(), S::Send("HTTP/1.0 200 OK\r\nContent-Type: video/x-flv\r\nContent-Encoding: gzip\r\n"
                                           "Content-Length: " + std::to_string(gz.size()) + "\r\n\r\n" + gz),
                 S::Close()});
  server.Expect({S::ReadRequest(),
                 S::Send("HTTP/1.0 206 Partial Content\r\nContent-Encoding: gzip\r\nContent-Range: bytes 100-199/"
                         "1000\r\nContent-Length: 100\r\n\r\n" + gz.substr(100, 100)),
                 S::Close()});
  TNetHTTP client;
  ApplyWindowConfiguration(client);
  const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
  TNetMemoryStream file;
  client.Get(base + "/v.flv", file);
  EXPECT_TRUE(file.Bytes() == video);
  client.Request.ContentRangeStart = 100;
  TNetMemoryStream part;
  EXPECT_THROW(client.Get(base + "/v.flv", part), ENetContentDecodingError);
  EXPECT_EQ(part.Size(), 0);
  // A video download never asks for compression.
  for (const auto& request : server.Requests())
    EXPECT_EQ(request.find("Accept-Encoding"), std::string::npos) << request;
}

TEST(Decoding, InflateStreamPassesACutThrough) {
  // The reader cuts its sink at the end of a body: the decoded sink ends at
  // its own end, not at the compressed length.
  const std::string text = PageText();
  const std::string gz = Gzip(text);
  TNetMemoryStream inner("old bytes that are longer than the page, left from before" + std::string(200000, 'x'));
  TNetInflateStream decoder(inner, TNetContentCoding::Gzip);
  decoder.SetSize(static_cast<std::int64_t>(gz.size()));
  decoder.Seek(0);
  decoder.Write(gz.data(), gz.size());
  decoder.SetSize(decoder.Position());
  EXPECT_TRUE(decoder.Complete());
  EXPECT_TRUE(inner.Bytes() == text);
}
