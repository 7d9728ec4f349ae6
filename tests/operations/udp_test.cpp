// UDP operations on loopback: round trips, empty and oversized datagrams,
// bind conflicts and handles that are not the line's.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/socketbase.h"
#include "tests/operations/op_fixture.h"
#include "tests/support/waitfor.h"

using namespace optest;

namespace {

class UdpOps : public OpFixture {
 protected:
  int Open() { return Exec(KeywordId::UdpOpen, Args({I(0)})); }
  // Sends raw bytes from a socket of the test to a port on loopback.
  static void RawSend(int port, const std::string& bytes) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    close(s);
  }
  bool WaitReadable(int s) {
    return testsupport::WaitFor([&] { return Exec(KeywordId::UdpTest, Args({I(s)})) == 1; });
  }
};

TEST_F(UdpOps, RoundTripWithBinaryBytesAndSender) {
  int a = Open(), b = Open();
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(Exec(KeywordId::UdpTest, Args({I(b)})), 0);
  const std::string data("x\0y\xff", 4);
  EXPECT_EQ(Exec(KeywordId::UdpSend, Args({I(a), S("127.0.0.1"), I(SocketLocalPort(b)), S(data)})), 4);
  ASSERT_TRUE(WaitReadable(b));
  auto r = Args({I(b), N(), N(), N()});
  EXPECT_EQ(Exec(KeywordId::UdpRecv, r), 4);
  EXPECT_EQ(Show(*r[1]), "\"127.0.0.1\"");
  EXPECT_EQ(r[2]->AsInt(), SocketLocalPort(a));
  EXPECT_EQ(std::string(r[3]->Bytes()), data);
  // By name as well.
  EXPECT_EQ(Exec(KeywordId::UdpSend, Args({I(b), S("localhost"), I(SocketLocalPort(a)), S("hi")})), 2);
  ASSERT_TRUE(WaitReadable(a));
  auto r2 = Args({I(a), N(), N(), N()});
  EXPECT_EQ(Exec(KeywordId::UdpRecv, r2), 2);
  EXPECT_EQ(Show(*r2[3]), "\"hi\"");
}

TEST_F(UdpOps, EmptyAndOversizedDatagrams) {
  int a = Open();
  ASSERT_GE(a, 0);
  const int port = SocketLocalPort(a);
  EXPECT_EQ(Exec(KeywordId::UdpSend, Args({I(a), S("127.0.0.1"), I(port), S("")})), -100);
  EXPECT_EQ(Exec(KeywordId::UdpSend, Args({I(a), I(1), I(port), S("x")})), -200);
  EXPECT_EQ(Exec(KeywordId::UdpSend, Args({I(a), S("127.0.0.1"), I(port), S(std::string(70000, 'a'))})), -1)
      << "more than a datagram holds";
  EXPECT_EQ(Exec(KeywordId::UdpSend, Args({I(a), S("no-such-host.invalid"), I(port), S("x")})), -2);
  EXPECT_EQ(Exec(KeywordId::UdpSend, Args({I(a), S("127.0.0.1"), I(65536 + 80), S("x")})), -1);

  RawSend(port, "");
  ASSERT_TRUE(WaitReadable(a));
  auto empty = Args({I(a), N(), N(), S("old")});
  EXPECT_EQ(Exec(KeywordId::UdpRecv, empty), 0);
  EXPECT_EQ(Show(*empty[3]), "\"\"");

  // Above the receive buffer: sent whole, refused by the receive.
  EXPECT_EQ(Exec(KeywordId::UdpSend, Args({I(a), S("127.0.0.1"), I(port), S(std::string(10241, 'b'))})), 10241);
  ASSERT_TRUE(WaitReadable(a));
  auto big = Args({I(a), N(), N(), S("old")});
  EXPECT_EQ(Exec(KeywordId::UdpRecv, big), -1);
  EXPECT_EQ(Show(*big[3]), "\"old\"");
  // The largest allowed one passes whole.
  EXPECT_EQ(Exec(KeywordId::UdpSend, Args({I(a), S("127.0.0.1"), I(port), S(std::string(10240, 'c'))})), 10240);
  ASSERT_TRUE(WaitReadable(a));
  auto max = Args({I(a), N(), N(), N()});
  EXPECT_EQ(Exec(KeywordId::UdpRecv, max), 10240);
}

TEST_F(UdpOps, BindConflictsAndForeignHandles) {
  int a = Open();
  ASSERT_GE(a, 0);
  EXPECT_EQ(Exec(KeywordId::UdpOpen, Args({I(SocketLocalPort(a))})), -4);
  EXPECT_EQ(Exec(KeywordId::UdpOpen, Args({I(65536 + 80)})), -4);
  EXPECT_EQ(Exec(KeywordId::UdpClose, Args({I(a)})), 0);
  EXPECT_EQ(Exec(KeywordId::UdpTest, Args({I(a)})), -1) << "closed";
  EXPECT_EQ(Exec(KeywordId::UdpRecv, Args({I(2), N(), N(), N()})), -1) << "stderr is no socket of the line";
  EXPECT_EQ(Exec(KeywordId::UdpClose, Args({I(2)})), 0);
  EXPECT_EQ(write(2, "", 0), 0) << "stderr still open";
}

TEST_F(UdpOps, AWaitingReceiveEndsWhenTheLineStops) {
  int a = Open();
  ASSERT_GE(a, 0);
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    inst_->stopRequested.store(1);
  });
  EXPECT_EQ(Exec(KeywordId::UdpRecv, Args({I(a), N(), N(), N()})), -2);
  stopper.join();
  inst_->stopRequested.store(0);
}

}  // namespace
