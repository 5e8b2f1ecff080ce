// The socket stack: dotted addresses, lookups, error texts, the socket handle.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "http/connection.h"
#include "http/exceptions.h"
#include "http/socketstack.h"
#include "support/scripted_server.h"

using namespace larkvale::http;
using larkvale::testing::ScriptedServer;

TEST(SocketStack, DottedAddresses) {
  const struct {
    const char* text;
    bool dotted;
  } cases[] = {
      {"0.0.0.0", true},   {"255.255.255.255", true}, {"10.0.0.7", true},  {"256.1.1.1", false},
      {"1.2.3", false},    {"1.2.3.4.5", false},      {"a.b.c.d", false},  {"1.2.3.-4", false},
      {"", false},         {"1..2.3", false},         {"localhost", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TNetStack::IsDottedAddress(c.text), c.dotted);
  }
}

TEST(SocketStack, LookupHostSkipsTheResolverForLocalhostAndDottedText) {
  TNetStackPosix stack;
  EXPECT_EQ(stack.LookupHost("LocalHost"), "127.0.0.1");
  EXPECT_EQ(stack.LookupHost("10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(stack.LookupCount, 0);
}

TEST(SocketStack, UnknownHostRaises11001) {
  TNetStackPosix stack;
  try {
    stack.LookupHost("no-such-host.invalid");
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 11001);
    EXPECT_STREQ(e.what(), "Socket Error # 11001\r\nHost not found.");
  }
  EXPECT_EQ(stack.LookupCount, 1);
}

TEST(SocketStack, ErrorMessages) {
  EXPECT_EQ(TNetStack::SocketErrorMessage(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(TNetStack::SocketErrorMessage(11004), "Socket Error # 11004\r\n");
  EXPECT_EQ(TNetStack::SocketErrorText(10035), "Operation would block. ");
  EXPECT_EQ(TNetStack::SocketErrorText(10066), "Directory not empty");
  EXPECT_EQ(TNetStack::SocketErrorText(10004), "Interrupted system call.");
  EXPECT_EQ(TNetStack::SocketErrorText(10067), "");
  // errno values the client tests for by number.
  EXPECT_EQ(MapErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(MapErrno(ECONNRESET), 10054);
  EXPECT_EQ(MapErrno(ECONNABORTED), 10053);
  EXPECT_EQ(MapErrno(EPIPE), 10058);
  EXPECT_EQ(MapErrno(EADDRINUSE), 10048);
}

TEST(SocketStack, CheckSocketResult) {
  TNetStackPosix stack;
  EXPECT_FALSE(stack.CheckSocketResult(0));
  errno = ECONNRESET;
  EXPECT_TRUE(stack.CheckSocketResult(-1, {10054}));
  errno = ECONNREFUSED;
  EXPECT_THROW(stack.CheckSocketResult(-1, {10054}), ENetSocketError);
  EXPECT_EQ(stack.LastError, 10061);
}

TEST(SocketStack, StackLivesAsLongAsAComponent) {
  ASSERT_EQ(SocketStack, nullptr);
  {
    TNetTCPClient a;
    TNetStack* first = SocketStack;
    ASSERT_NE(first, nullptr);
    {
      TNetTCPClient b;
      EXPECT_EQ(SocketStack, first);
    }
    EXPECT_EQ(SocketStack, first);
  }
  EXPECT_EQ(SocketStack, nullptr);
}

TEST(SocketHandle, WaitReadable) {
  ScriptedServer server;
  server.Expect({ScriptedServer::Pause(150), ScriptedServer::Send("x"), ScriptedServer::WaitClose()});
  TNetSocketHandle h;
  h.OpenSocket(SOCK_STREAM, 0);
  h.BindLocal();
  h.SetPeer("127.0.0.1", server.Port());
  ASSERT_EQ(h.ConnectPeer(), 0);
  EXPECT_EQ(h.PeerPort, server.Port());
  EXPECT_EQ(h.PeerIP, "127.0.0.1");
  EXPECT_NE(h.Port, 0);

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(h.WaitReadable(1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_TRUE(h.WaitReadable(-2));  // blocks until the byte arrives
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  h.ShutAndClose();
  h.ShutAndClose();  // not open: nothing happens
  EXPECT_THROW(h.WaitReadable(1), ENetConnClosedGracefully);
}

TEST(SocketHandle, BindToAPortInUse) {
  ScriptedServer server;  // holds its port
  TNetSocketHandle h;
  h.OpenSocket(SOCK_STREAM, 0);
  h.IP = "127.0.0.1";
  h.Port = server.Port();
  try {
    h.BindLocal();
    FAIL() << "no exception";
  } catch (const ENetCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
}
