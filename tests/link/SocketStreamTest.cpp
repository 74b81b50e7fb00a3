// The TCP stream on its own, against small servers made in the test.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "LinkTestSupport.h"

using namespace linktest;

namespace {

// A listening socket on 127.0.0.1 with a system-chosen port.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  explicit Listener(int receiveBuffer = 0) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = loopback();
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 4);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
  int accept() { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
};

TEST(SocketStream, NothingListeningAnswersResourceAndNoStream) {
  uint16_t port;
  {
    Listener gone;
    port = gone.port;
  }
  aStream* s = reinterpret_cast<aStream*>(1);
  EXPECT_EQ(aStream_CreateSocket(loopback(), port, &s), aErrResource);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(aStream_CreateSocket(loopback(), port, nullptr), aErrResource);
}

TEST(SocketStream, ReadsWhatThePeerSendsAndNotReadyWithout) {
  Listener l;
  aStream* s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), l.port, &s), aErrNone);
  int peer = l.accept();
  ASSERT_GE(peer, 0);
  uint8_t b = 0;
  EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
  const uint8_t burst[] = {1, 2, 3, 4, 5};
  ASSERT_EQ(send(peer, burst, sizeof burst, 0), 5);
  uint8_t got[5] = {};
  aErr err = aErrNotReady;
  for (int i = 0; i < 100 && err == aErrNotReady; ++i) err = aStream_Read(s, got, 5);
  ASSERT_EQ(err, aErrNone);
  EXPECT_EQ(memcmp(got, burst, 5), 0);

  const uint8_t out[] = {9, 8, 7};
  ASSERT_EQ(aStream_Write(s, out, 3), aErrNone);
  uint8_t echo[3] = {};
  ASSERT_EQ(recv(peer, echo, 3, MSG_WAITALL), 3);
  EXPECT_EQ(memcmp(echo, out, 3), 0);
  close(peer);
  EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SocketStream, ReconnectsAfterAReset) {
  Listener l;
  aStream* s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), l.port, &s), aErrNone);
  int first = l.accept();
  linger lg{1, 0};
  setsockopt(first, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(first);  // with linger 0: a reset
  uint8_t b = 0;
  aErr err = aErrNone;
  pollfd pending{l.fd, POLLIN, 0};
  for (int i = 0; i < 50; ++i) {
    err = aStream_Read(s, &b, 1);
    if (err != aErrNotReady || poll(&pending, 1, 0) == 1) break;
  }
  EXPECT_EQ(err, aErrNotReady);
  int second = l.accept();
  ASSERT_GE(second, 0) << "no new connection after the reset";
  const uint8_t x = 0x42;
  ASSERT_EQ(send(second, &x, 1, 0), 1);
  for (int i = 0; i < 50 && (err = aStream_Read(s, &b, 1)) == aErrNotReady; ++i) {
  }
  EXPECT_EQ(err, aErrNone);
  EXPECT_EQ(b, 0x42);
  close(second);
  aStream_Destroy(&s);
}

TEST(SocketStream, PeerClosingInOrderIsAConnectionError) {
  Listener l;
  aStream* s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), l.port, &s), aErrNone);
  int peer = l.accept();
  const uint8_t last = 0x33;
  send(peer, &last, 1, 0);
  close(peer);
  uint8_t b = 0;
  aErr err = aErrNotReady;
  for (int i = 0; i < 50 && err == aErrNotReady; ++i) err = aStream_Read(s, &b, 1);
  ASSERT_EQ(err, aErrNone);  // what was sent before the close still arrives
  EXPECT_EQ(b, 0x33);
  err = aErrNotReady;
  for (int i = 0; i < 50 && err == aErrNotReady; ++i) err = aStream_Read(s, &b, 1);
  EXPECT_EQ(err, aErrConnection);
  aStream_Destroy(&s);
}

TEST(SocketStream, WriteTheNetworkWillNotTakeIsAnError) {
  Listener l(4096);
  aStream* s = nullptr;
  ASSERT_EQ(aStream_CreateSocket(loopback(), l.port, &s), aErrNone);
  int peer = l.accept();  // accepts and never reads
  ASSERT_GE(peer, 0);
  std::vector<uint8_t> flood(64 << 20, 0x5A);
  EXPECT_EQ(aStream_Write(s, flood.data(), static_cast<uint32_t>(flood.size())), aErrWrite);
  close(peer);
  aStream_Destroy(&s);
}

TEST(Multicast, SenderAndReceiverRoles) {
  uint32_t group = htonl(0xEFFF0A0B);  // 239.255.10.11
  aMulticast* receiver = aMulticast_Create(0, group, 47311, 0);
  aMulticast* sender = aMulticast_Create(0, group, 47311, 1);
  if (!receiver || !sender) {
    aMulticast_Destroy(&receiver);
    aMulticast_Destroy(&sender);
    GTEST_SKIP() << "no multicast on the loopback interface here";
  }
  uint8_t buf[16];
  EXPECT_EQ(aMulticast_Receive(sender, buf, sizeof buf), -3);
  EXPECT_EQ(aMulticast_Send(receiver, buf, 1), -3);
  const uint8_t hello[] = {'h', 'i'};
  EXPECT_EQ(aMulticast_Send(sender, hello, 2), 2);
  EXPECT_EQ(aMulticast_Receive(receiver, buf, sizeof buf), 2);
  EXPECT_EQ(aMulticast_Destroy(&sender), 0);
  EXPECT_EQ(sender, nullptr);
  aMulticast_Destroy(&receiver);
  EXPECT_EQ(aMulticast_Destroy(&receiver), -2);
  EXPECT_EQ(aMulticast_Receive(nullptr, buf, 1), -2);
}

}  // namespace
