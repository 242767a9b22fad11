#include "support/cudp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "telemetry/log_class.h"

namespace {

// A plain UDP socket on a loopback address and a port of the system's choice,
// standing in for the partner (or a stranger).
class LoopbackPeer {
 public:
  explicit LoopbackPeer(const char* address = "127.0.0.1") {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in local {};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, address, &local.sin_addr);
    bound = fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) == 0;
    socklen_t length = sizeof(local);
    if (bound && getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &length) == 0) {
      port = ntohs(local.sin_port);
    }
  }
  ~LoopbackPeer() {
    if (fd >= 0) close(fd);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  bool sendTo(int toPort, const std::string& data) {
    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(toPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(fd, data.data(), data.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof(to)) ==
           static_cast<ssize_t>(data.size());
  }

  // One datagram within the time limit, or "<none>".
  std::string receive(int timeoutMs = 2000) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return "<none>";
    char buffer[2048];
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    return n < 0 ? "<error>" : std::string(buffer, static_cast<size_t>(n));
  }

  int fd = -1;
  int port = 0;
  bool bound = false;
};

// Waits (bounded) until the endpoint has a datagram, so a read that follows
// does not race the loopback delivery.
bool datagramArrives(CUDP& endpoint) { return endpoint.waitForData(2, 0); }

// The endpoint's destructor keeps its descriptor open: tests close it themselves.
struct CloseOnExit {
  CUDP& endpoint;
  ~CloseOnExit() { endpoint.closeSocket(); }
};

class CudpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logInstance.setLogLevel(1);
    logInstance.setLineObserver(
        [](void* context, unsigned int, const char* line) {
          static_cast<std::vector<std::string>*>(context)->push_back(line + LOG_CLASS::kPrefixLength);
        },
        &lines);
  }
  void TearDown() override {
    logInstance.setLineObserver(nullptr, nullptr);
    for (auto& endpoint : endpoints) endpoint->closeSocket();  // the destructor keeps descriptors open
  }

  // An endpoint for partner 127.0.0.1 bound to a port of the system's choice.
  CUDP& partnerEndpoint(int writePort) {
    endpoints.emplace_back(new CUDP("127.0.0.1", 0, writePort, 1));
    return *endpoints.back();
  }

  std::vector<std::string> lines;
  std::vector<std::unique_ptr<CUDP>> endpoints;
};

TEST_F(CudpTest, KeepsPartnerDatagramsFromAnyPortAndDropsOtherHosts) {
  LoopbackPeer partner("127.0.0.1");
  LoopbackPeer otherPartnerPort("127.0.0.1");
  LoopbackPeer stranger("127.0.0.2");
  ASSERT_TRUE(partner.bound && otherPartnerPort.bound && stranger.bound);
  CUDP& endpoint = partnerEndpoint(partner.port);
  ASSERT_TRUE(endpoint.isOpen());
  int port = endpoint.getLocalPort();
  ASSERT_GT(port, 0);

  unsigned char buffer[64];
  ASSERT_TRUE(stranger.sendTo(port, "foreign"));
  ASSERT_TRUE(datagramArrives(endpoint));
  EXPECT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 0);
  EXPECT_FALSE(endpoint.isRegUser());
  EXPECT_STREQ(endpoint.getReadAddressAsString(), "127.0.0.2");
  EXPECT_FALSE(endpoint.isReadDataReady());  // the foreign datagram was consumed

  ASSERT_TRUE(otherPartnerPort.sendTo(port, "hello"));
  ASSERT_TRUE(datagramArrives(endpoint));
  ASSERT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 5);
  EXPECT_EQ(memcmp(buffer, "hello", 5), 0);
  EXPECT_TRUE(endpoint.isRegUser());
  EXPECT_EQ(ntohs(endpoint.getReadSockAddr()->sin_port), otherPartnerPort.port);
  EXPECT_STREQ(endpoint.getReadAddressAsString(), "127.0.0.1");
}

TEST_F(CudpTest, ReadWithNothingWaitingReturnsZeroAtOnce) {
  LoopbackPeer partner;
  CUDP& endpoint = partnerEndpoint(partner.port);
  unsigned char buffer[16];
  EXPECT_FALSE(endpoint.isReadDataReady());
  EXPECT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 0);
  EXPECT_FALSE(endpoint.waitForData(0, 20000));  // 20 ms time-out
}

TEST_F(CudpTest, LongDatagramIsCutToTheBuffer) {
  LoopbackPeer partner;
  CUDP& endpoint = partnerEndpoint(partner.port);
  std::string data(300, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(partner.sendTo(endpoint.getLocalPort(), data));
  ASSERT_TRUE(datagramArrives(endpoint));
  // Exactly sized on the heap: the address sanitizer catches any write past it.
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[10]);
  ASSERT_EQ(endpoint.readSocket(buffer.get(), 10), 10);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.get()), 10), data.substr(0, 10));
  EXPECT_FALSE(endpoint.isReadDataReady());  // the rest of the datagram is gone
}

TEST_F(CudpTest, EmptyAndOneByteDatagramsAreHarmless) {
  LoopbackPeer partner;
  CUDP& endpoint = partnerEndpoint(partner.port);
  unsigned char buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_TRUE(partner.sendTo(endpoint.getLocalPort(), ""));
  ASSERT_TRUE(datagramArrives(endpoint));
  EXPECT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 0);
  ASSERT_TRUE(partner.sendTo(endpoint.getLocalPort(), "Z"));
  ASSERT_TRUE(datagramArrives(endpoint));
  EXPECT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 1);
  EXPECT_EQ(buffer[0], 'Z');
  EXPECT_EQ(buffer[1], 0xEE);
}

TEST_F(CudpTest, WritesOneDatagramPerWritePort) {
  LoopbackPeer first;
  LoopbackPeer second;
  int ports[] = {first.port, second.port, 0};
  CUDP endpoint("127.0.0.1", 0, ports, 1);
  CloseOnExit closer{endpoint};
  const unsigned char data[] = {2, 1, 1};
  EXPECT_EQ(endpoint.writeSocket(data, sizeof(data)), 6);
  EXPECT_EQ(first.receive(), std::string("\x02\x01\x01", 3));
  EXPECT_EQ(second.receive(), std::string("\x02\x01\x01", 3));
  EXPECT_EQ(first.receive(50), "<none>");  // exactly one each

  unsigned char reply[8];
  EXPECT_EQ(endpoint.sendRecv(data, sizeof(data), reply, sizeof(reply)), 0);  // two ports: no reply awaited
  EXPECT_EQ(first.receive(), std::string("\x02\x01\x01", 3));
}

TEST_F(CudpTest, SendRecvReturnsThePartnersReply) {
  LoopbackPeer partner;
  CUDP& endpoint = partnerEndpoint(partner.port);
  std::thread responder([&] {
    if (partner.receive() == "ping") partner.sendTo(endpoint.getLocalPort(), "pong!");
  });
  unsigned char reply[16];
  int got = endpoint.sendRecv(reinterpret_cast<const unsigned char*>("ping"), 4, reply, sizeof(reply));
  responder.join();
  ASSERT_EQ(got, 5);
  EXPECT_EQ(memcmp(reply, "pong!", 5), 0);
}

TEST_F(CudpTest, EmptyWritePortListSendsNothing) {
  CUDP endpoint("127.0.0.1", 0, static_cast<const int*>(nullptr), 0);
  CloseOnExit closer{endpoint};
  ASSERT_TRUE(endpoint.isOpen());
  const unsigned char data[] = {12, 0};
  EXPECT_EQ(endpoint.writeSocket(data, sizeof(data)), 0);
}

TEST_F(CudpTest, ThreadsWritingAtOnceDeliverEveryDatagramWhole) {
  LoopbackPeer partner;
  CUDP& endpoint = partnerEndpoint(partner.port);
  constexpr int kThreads = 3;
  constexpr int kEach = 50;
  std::vector<std::thread> writers;
  std::atomic<int> total{0};
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&endpoint, &total, t] {
      unsigned char data[30];
      memset(data, 'a' + t, sizeof(data));
      for (int i = 0; i < kEach; ++i) total += endpoint.writeSocket(data, sizeof(data));
    });
  }
  for (std::thread& w : writers) w.join();
  EXPECT_EQ(total.load(), kThreads * kEach * 30);
  for (int i = 0; i < kThreads * kEach; ++i) {
    std::string datagram = partner.receive();
    ASSERT_EQ(datagram.size(), 30u) << i;
    EXPECT_EQ(datagram, std::string(30, datagram[0]));
  }
}

TEST_F(CudpTest, PortHeldByAnotherSocketLogsTheBindFailureAndStaysOpenForSending) {
  LoopbackPeer holder;  // bound without address reuse
  LoopbackPeer partner;
  int heldPort = holder.port;
  {
    // Held on 127.0.0.1 only; the endpoint binds the wildcard address.
    CUDP endpoint("127.0.0.1", heldPort, partner.port, 1);
    CloseOnExit closer{endpoint};
    ASSERT_TRUE(endpoint.isOpen());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Can not bind port " + std::to_string(heldPort) + ", error code = " +
                            std::to_string(EADDRINUSE) + " (" + strerror(EADDRINUSE) + ")\n");
    const unsigned char data[] = {13, 1, 0};
    EXPECT_EQ(endpoint.writeSocket(data, sizeof(data)), 3);
    EXPECT_EQ(partner.receive(), std::string("\x0d\x01\x00", 3));
    endpoint.closeSocket();
  }
}

TEST_F(CudpTest, UnboundEndpointLogsNothing) {
  LoopbackPeer partner;
  CUDP endpoint("127.0.0.1", partner.port, 0);  // flags 0: no bind
  CloseOnExit closer{endpoint};
  EXPECT_TRUE(endpoint.isOpen());
  EXPECT_TRUE(lines.empty());
  const unsigned char data[] = {12, 0};
  EXPECT_EQ(endpoint.writeSocket(data, sizeof(data)), 2);
  EXPECT_EQ(partner.receive(), std::string("\x0c\x00", 2));
}

TEST_F(CudpTest, UnresolvableHostLeavesThePartnerAtTheWildcardAddress) {
  LoopbackPeer sender;
  // No host at all: resolving fails without asking any name server.
  CUDP endpoint(nullptr, 0, sender.port, 1);
  CloseOnExit closer{endpoint};
  ASSERT_TRUE(endpoint.isOpen());
  EXPECT_TRUE(lines.empty());  // silent
  ASSERT_TRUE(sender.sendTo(endpoint.getLocalPort(), "x"));
  ASSERT_TRUE(datagramArrives(endpoint));
  unsigned char buffer[4];
  EXPECT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 0);  // nobody sends from 0.0.0.0
}

TEST_F(CudpTest, HostNameResolvesToItsAddress) {
  LoopbackPeer partner;
  CUDP endpoint("localhost", 0, partner.port, 1);
  CloseOnExit closer{endpoint};
  const unsigned char data[] = {12, 0};
  EXPECT_EQ(endpoint.writeSocket(data, sizeof(data)), 2);
  EXPECT_EQ(partner.receive(), std::string("\x0c\x00", 2));
}

TEST_F(CudpTest, ClosedEndpointNeitherWaitsNorReads) {
  CUDP endpoint;
  EXPECT_FALSE(endpoint.isOpen());
  endpoint.closeSocket();
  EXPECT_FALSE(endpoint.isOpen());
  EXPECT_FALSE(endpoint.waitForData());  // returns at once instead of blocking forever
  EXPECT_FALSE(endpoint.isReadDataReady());
  unsigned char buffer[4];
  EXPECT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 0);
  EXPECT_EQ(endpoint.getLocalPort(), -1);

  LoopbackPeer partner;
  ASSERT_GE(endpoint.openSocket("127.0.0.1", 0, 1), 0);
  EXPECT_TRUE(endpoint.isOpen());
  endpoint.closeSocket();
  endpoint.closeSocket();
  EXPECT_FALSE(endpoint.isOpen());
}

TEST_F(CudpTest, ReopeningClosesTheFirstDescriptor) {
  CUDP endpoint;
  int first = endpoint.openSocket("127.0.0.1", 0, 0);
  ASSERT_GE(first, 0);
  int second = endpoint.openSocket("127.0.0.1", 0, 0);
  CloseOnExit closer{endpoint};
  ASSERT_GE(second, 0);
  // The first descriptor was released: the system hands out its number again.
  EXPECT_EQ(second, first);
}

TEST_F(CudpTest, SocketCreationFailureLeavesTheEndpointClosed) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);  // no new descriptor can be created
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  CUDP endpoint("127.0.0.1", 0, 1);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(endpoint.isOpen());
  EXPECT_TRUE(lines.empty());
}

TEST_F(CudpTest, BlockingWaitWakesOnDataOrOnTheWakeDescriptor) {
  LoopbackPeer partner;
  CUDP& endpoint = partnerEndpoint(partner.port);
  int port = endpoint.getLocalPort();
  std::thread sender([&] { partner.sendTo(port, "late"); });
  EXPECT_TRUE(endpoint.waitForData());
  sender.join();
  unsigned char buffer[8];
  EXPECT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 4);

  int wake[2];
  ASSERT_EQ(pipe(wake), 0);
  std::thread waker([&] { EXPECT_EQ(write(wake[1], "w", 1), 1); });
  EXPECT_FALSE(endpoint.waitForData(wake[0]));  // woken without data
  waker.join();
  close(wake[0]);
  close(wake[1]);
}

TEST(CudpPorts, TransmitPortsSkipZeroAndNegativeSlotsAnywhere) {
  int ports[CUDP::kMaxWritePorts] = {36000, 0, 36003};
  EXPECT_STREQ(CUDP::getTransmitPorts(ports), "36000,36003");
  int mixed[CUDP::kMaxWritePorts] = {0, -5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 65535};
  EXPECT_STREQ(CUDP::getTransmitPorts(mixed), "1,65535");
  int none[CUDP::kMaxWritePorts] = {0, -1};
  EXPECT_STREQ(CUDP::getTransmitPorts(none), "");
  int full[CUDP::kMaxWritePorts];
  for (int& p : full) p = 2147483647;
  std::string expected = "2147483647";
  for (int i = 1; i < CUDP::kMaxWritePorts; ++i) expected += ",2147483647";
  EXPECT_EQ(CUDP::getTransmitPorts(full), expected);  // the longest text fits
}

TEST(CudpInterfaces, FindsLoopbackAmongLocalAddresses) {
  EXPECT_TRUE(CUDP::isLocalInterfaceAddress("127.0.0.1"));
  EXPECT_FALSE(CUDP::isLocalInterfaceAddress("192.0.2.77"));  // documentation range, never configured
  EXPECT_FALSE(CUDP::isLocalInterfaceAddress("not an address"));
}

}  // namespace
