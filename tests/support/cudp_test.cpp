// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/cudp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
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

#include "common/free_port.h"
#include "common/log_lines.h"
#include "telemetry/log_class.h"

namespace {

// A plain UDP socket on a loopback address and a port of the system's choice,
// standing in for the partner (or a stranger).
class LoopbackPeer {
 public:
  explicit LoopbackPeer(const char* address = "127.0.0.1") : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    struct sockaddr_in local {};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, address, &local.sin_addr);
    socklen_t length = sizeof(local);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), length) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &length) == 0) {
      port = ntohs(local.sin_port);
    }
  }
  ~LoopbackPeer() { close(fd); }

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
    char buffer[2048];
    ssize_t n = poll(&p, 1, timeoutMs) == 1 ? recv(fd, buffer, sizeof(buffer), 0) : -1;
    return n < 0 ? "<none>" : std::string(buffer, static_cast<size_t>(n));
  }

  int fd;
  int port = 0;
};

// Closes the endpoint at the end of a case, before the peers it talks to go.
struct CloseOnExit {
  CUDP& endpoint;
  ~CloseOnExit() { endpoint.closeSocket(); }
};

class CudpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logInstance.setLogLevel(1);
    testing_support::collectLogLines(&lines);
    ASSERT_GT(partner.port, 0);
    ASSERT_TRUE(endpoint.isOpen());
    port = endpoint.getLocalPort();
    ASSERT_GT(port, 0);
  }
  void TearDown() override { logInstance.setLineObserver(nullptr, nullptr); }

  // Bounded wait, so that a read does not race the loopback delivery.
  bool arrives() { return endpoint.waitForData(2, 0); }

  std::vector<std::string> lines;
  LoopbackPeer partner;
  // The daemon's form: partner 127.0.0.1, bound read port (here of the system's choice).
  CUDP endpoint{"127.0.0.1", 0, partner.port, 1};
  CloseOnExit closer{endpoint};
  int port = 0;
};

TEST_F(CudpTest, KeepsPartnerDatagramsFromAnyPortAndDropsOtherHosts) {
  LoopbackPeer otherPartnerPort("127.0.0.1");
  LoopbackPeer stranger("127.0.0.2");
  unsigned char buffer[64];
  ASSERT_TRUE(stranger.sendTo(port, "foreign"));
  ASSERT_TRUE(arrives());
  EXPECT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 0);
  EXPECT_FALSE(endpoint.isRegUser());
  EXPECT_STREQ(endpoint.getReadAddressAsString(), "127.0.0.2");
  EXPECT_FALSE(endpoint.isReadDataReady());  // consumed

  ASSERT_TRUE(otherPartnerPort.sendTo(port, "hello"));
  ASSERT_TRUE(arrives());
  ASSERT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 5);
  EXPECT_EQ(memcmp(buffer, "hello", 5), 0);
  EXPECT_TRUE(endpoint.isRegUser());
  EXPECT_EQ(endpoint.getReadSockAddr()->port(), otherPartnerPort.port);
}

// A partner written IPv4-mapped is its IPv4 address; an IPv6 sender is none of it.
TEST_F(CudpTest, MappedPartnerAddressIsItsIpv4AddressAndIpv6SendersAreStrangers) {
  CUDP mapped("::ffff:127.0.0.1", 0, partner.port, 1);
  CloseOnExit closeMapped{mapped};
  unsigned char buffer[8];
  ASSERT_TRUE(partner.sendTo(mapped.getLocalPort(), "v4"));
  ASSERT_TRUE(mapped.waitForData(2, 0));
  EXPECT_EQ(mapped.readSocket(buffer, sizeof(buffer)), 2);
  EXPECT_STREQ(mapped.getReadAddressAsString(), "127.0.0.1");
  if (!testing_support::hasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 on loopback";
  int v6 = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in6 to {};
  to.sin6_family = AF_INET6;
  to.sin6_addr = in6addr_loopback;
  to.sin6_port = htons(static_cast<uint16_t>(mapped.getLocalPort()));
  ASSERT_EQ(sendto(v6, "v6", 2, 0, reinterpret_cast<struct sockaddr*>(&to), sizeof(to)), 2);
  close(v6);
  ASSERT_TRUE(mapped.waitForData(2, 0));
  EXPECT_EQ(mapped.readSocket(buffer, sizeof(buffer)), 0);
  EXPECT_STREQ(mapped.getReadAddressAsString(), "::1");
  EXPECT_FALSE(mapped.isRegUser());
}

TEST_F(CudpTest, ReadsNothingAtOnceAndCutsWhatDoesNotFit) {
  unsigned char small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(endpoint.readSocket(small, sizeof(small)), 0);  // nothing waiting: no block
  EXPECT_FALSE(endpoint.waitForData(0, 20000));

  ASSERT_TRUE(partner.sendTo(port, ""));
  ASSERT_TRUE(arrives());
  EXPECT_EQ(endpoint.readSocket(small, sizeof(small)), 0);
  ASSERT_TRUE(partner.sendTo(port, "Z"));
  ASSERT_TRUE(arrives());
  EXPECT_EQ(endpoint.readSocket(small, sizeof(small)), 1);
  EXPECT_EQ(small[0], 'Z');
  EXPECT_EQ(small[1], 0xEE);

  std::string data(300, 'x');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(partner.sendTo(port, data));
  ASSERT_TRUE(arrives());
  std::unique_ptr<unsigned char[]> exact(new unsigned char[10]);  // an overrun trips the address sanitizer
  ASSERT_EQ(endpoint.readSocket(exact.get(), 10), 10);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(exact.get()), 10), data.substr(0, 10));
  EXPECT_FALSE(endpoint.isReadDataReady());  // the rest of the datagram is gone
}

TEST_F(CudpTest, WritesOneDatagramPerWritePortAndThenAwaitsNoReply) {
  LoopbackPeer second;
  int ports[] = {partner.port, second.port, 0};
  CUDP twoPorts("127.0.0.1", 0, ports, 0);
  CloseOnExit closeTwoPorts{twoPorts};
  const unsigned char data[] = {2, 1, 1};
  const std::string wire("\x02\x01\x01", 3);
  EXPECT_EQ(twoPorts.writeSocket(data, sizeof(data)), 6);
  EXPECT_EQ(partner.receive(), wire);
  EXPECT_EQ(second.receive(), wire);
  EXPECT_EQ(partner.receive(50), "<none>");  // exactly one each

  unsigned char reply[8];
  EXPECT_EQ(twoPorts.sendRecv(data, sizeof(data), reply, sizeof(reply)), 0);
  EXPECT_EQ(partner.receive(), wire);

  CUDP noPorts("127.0.0.1", 0, static_cast<const int*>(nullptr), 0);
  CloseOnExit closeNoPorts{noPorts};
  EXPECT_EQ(noPorts.writeSocket(data, sizeof(data)), 0);
}

TEST_F(CudpTest, ThreadsWritingAtOnceDeliverEveryDatagramWhole) {
  constexpr int kThreads = 3;
  constexpr int kEach = 50;
  std::atomic<int> total{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, &total, t] {
      unsigned char data[30];
      memset(data, 'a' + t, sizeof(data));
      for (int i = 0; i < kEach; ++i) total += endpoint.writeSocket(data, sizeof(data));
    });
  }
  for (std::thread& w : writers) w.join();
  EXPECT_EQ(total.load(), kThreads * kEach * 30);
  for (int i = 0; i < kThreads * kEach; ++i) {
    std::string datagram = partner.receive();
    ASSERT_EQ(datagram, std::string(30, datagram[0])) << i;
  }
}

TEST_F(CudpTest, PortHeldByAnotherSocketLogsTheBindFailureAndStillSends) {
  LoopbackPeer holder;  // bound without address reuse
  CUDP blocked("127.0.0.1", holder.port, partner.port, 1);
  CloseOnExit closeBlocked{blocked};
  EXPECT_TRUE(blocked.isOpen());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Can not bind port " + std::to_string(holder.port) + ", error code = " +
                          std::to_string(EADDRINUSE) + " (" + strerror(EADDRINUSE) + ")\n");
  const unsigned char data[] = {13, 1, 0};
  EXPECT_EQ(blocked.writeSocket(data, sizeof(data)), 3);
  EXPECT_EQ(partner.receive(), std::string("\x0d\x01\x00", 3));
}

TEST_F(CudpTest, ReadPortIsExclusiveEvenForSocketsThatAskForReuse) {
  for (const char* address : {"0.0.0.0", "127.0.0.1"}) {
    int intruder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ASSERT_EQ(setsockopt(intruder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)), 0);
    ASSERT_EQ(setsockopt(intruder, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)), 0);
    struct sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &local.sin_addr);
    EXPECT_NE(bind(intruder, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)), 0) << address;
    EXPECT_EQ(errno, EADDRINUSE) << address;
    close(intruder);
  }
  // A second daemon on the same port is told so; the partner's messages still reach us.
  CUDP second("127.0.0.1", port, partner.port, 1);
  CloseOnExit closeSecond{second};
  EXPECT_EQ(lines, std::vector<std::string>{"Can not bind port " + std::to_string(port) + ", error code = " +
                                            std::to_string(EADDRINUSE) + " (" + strerror(EADDRINUSE) + ")\n"});
  ASSERT_TRUE(partner.sendTo(port, "cmd"));
  ASSERT_TRUE(arrives());
  unsigned char buffer[8];
  EXPECT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 3);
}

int lookups = 0;
bool lookupWorks = false;
int fakeResolver(const char*, HostAddress* address) {
  ++lookups;
  return lookupWorks ? resolveHost("127.0.0.1", address) : EAI_AGAIN;
}

struct ResolverHooks {
  ~ResolverHooks() { CUDP::setResolver(nullptr); }
};

TEST_F(CudpTest, UnresolvableHostIsReportedSendsNothingAndIsRetriedEveryTenSeconds) {
  ResolverHooks hooks;
  ManualTime time;
  CUDP unresolved("partner.invalid", 0, partner.port, 1, Clock(&time));  // the system's resolver
  CloseOnExit closeUnresolved{unresolved};
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Can not resolve the partner host partner.invalid (", 0), 0u) << lines[0];
  const unsigned char data[] = {13, 1, 0};
  EXPECT_EQ(unresolved.writeSocket(data, sizeof(data)), -1);
  EXPECT_EQ(partner.receive(200), "<none>") << "nothing may go to 0.0.0.0, this host";

  CUDP::setResolver(fakeResolver);
  lookups = 0;
  lookupWorks = false;
  time.advanceMs(9999);
  EXPECT_EQ(unresolved.writeSocket(data, sizeof(data)), -1);
  EXPECT_EQ(lookups, 0) << "at most one lookup every 10 seconds";
  time.advanceMs(1);
  EXPECT_EQ(unresolved.writeSocket(data, sizeof(data)), -1);
  EXPECT_EQ(unresolved.writeSocket(data, sizeof(data)), -1);
  EXPECT_EQ(lookups, 1);
  EXPECT_EQ(lines.size(), 1u) << "a failed retry says nothing new";

  lookupWorks = true;
  time.advanceMs(10000);
  EXPECT_EQ(unresolved.writeSocket(data, sizeof(data)), 3);
  EXPECT_EQ(partner.receive(), std::string("\x0d\x01\x00", 3));
  EXPECT_EQ(lines.back(), "Partner host partner.invalid resolved to 127.0.0.1\n");
  EXPECT_EQ(unresolved.writeSocket(data, sizeof(data)), 3);
  EXPECT_EQ(lookups, 2);
  ASSERT_TRUE(partner.sendTo(unresolved.getLocalPort(), "x"));
  ASSERT_TRUE(unresolved.waitForData(2, 0));
  unsigned char buffer[4];
  EXPECT_EQ(unresolved.readSocket(buffer, sizeof(buffer)), 1);
}

TEST_F(CudpTest, UnresolvedHostSendsToNobodyAndDropsEveryDatagram) {
  // No host at all: resolving fails without asking any name server.
  CUDP unresolved(nullptr, 0, partner.port, 1);
  CloseOnExit closeUnresolved{unresolved};
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Can not resolve the partner host (none) (" + std::string(gai_strerror(EAI_NONAME)) +
                          "), nothing is sent to it until it resolves\n");
  ASSERT_TRUE(partner.sendTo(unresolved.getLocalPort(), "x"));
  ASSERT_TRUE(unresolved.waitForData(2, 0));
  unsigned char buffer[4];
  EXPECT_EQ(unresolved.readSocket(buffer, sizeof(buffer)), 0);
}

TEST_F(CudpTest, ClosedEndpointNeitherWaitsNorReadsAndReopeningLeaksNothing) {
  CUDP closed;
  EXPECT_FALSE(closed.waitForData());  // at once, instead of blocking forever
  unsigned char buffer[4];
  EXPECT_EQ(closed.readSocket(buffer, sizeof(buffer)), 0);
  int first = closed.openSocket("127.0.0.1", 0, 0);
  ASSERT_GE(first, 0);
  EXPECT_EQ(closed.openSocket("127.0.0.1", 0, 0), first);  // the first descriptor was released
  closed.closeSocket();
  closed.closeSocket();
  EXPECT_FALSE(closed.isOpen());
  EXPECT_EQ(fcntl(first, F_GETFD), -1);

  int owned;
  {
    CUDP endpoint("127.0.0.1", 0, 0);
    owned = endpoint.openSocket("127.0.0.1", 0, 0);
    ASSERT_GE(owned, 0);
  }
  EXPECT_EQ(fcntl(owned, F_GETFD), -1) << "the destroyed endpoint closed its descriptor";
}

TEST_F(CudpTest, SocketCreationFailureLeavesTheEndpointClosedAndSilent) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);  // no new descriptor can be had
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  CUDP failed("127.0.0.1", 0, 1);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(failed.isOpen());
  EXPECT_TRUE(lines.empty());
}

TEST_F(CudpTest, BlockingWaitWakesOnDataOrOnTheWakeDescriptor) {
  std::thread sender([this] { partner.sendTo(port, "late"); });
  EXPECT_TRUE(endpoint.waitForData());
  sender.join();
  int wake[2];
  ASSERT_EQ(pipe(wake), 0);
  unsigned char buffer[8];
  EXPECT_EQ(endpoint.readSocket(buffer, sizeof(buffer)), 4);
  std::thread waker([&wake] { EXPECT_EQ(write(wake[1], "w", 1), 1); });
  EXPECT_FALSE(endpoint.waitForData(wake[0]));  // woken without data
  waker.join();
  close(wake[0]);
  close(wake[1]);
}

TEST(CudpStatic, TransmitPortsSkipZeroAndNegativeSlotsAnywhere) {
  int ports[CUDP::kMaxWritePorts] = {36000, 0, 36003};
  EXPECT_STREQ(CUDP::getTransmitPorts(ports), "36000,36003");
  int mixed[CUDP::kMaxWritePorts] = {0, -5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 65535};
  EXPECT_STREQ(CUDP::getTransmitPorts(mixed), "1,65535");
  int none[CUDP::kMaxWritePorts] = {0, -1};
  EXPECT_STREQ(CUDP::getTransmitPorts(none), "");
  int full[CUDP::kMaxWritePorts];
  std::string expected;
  for (int& p : full) {
    p = 2147483647;
    expected += expected.empty() ? "2147483647" : ",2147483647";
  }
  EXPECT_EQ(CUDP::getTransmitPorts(full), expected);  // the longest text fits
}

TEST(CudpStatic, FindsLoopbackAmongLocalInterfaceAddresses) {
  EXPECT_TRUE(CUDP::isLocalInterfaceAddress("127.0.0.1"));
  EXPECT_EQ(CUDP::isLocalInterfaceAddress("::1"), testing_support::hasIpv6Loopback());
  EXPECT_FALSE(CUDP::isLocalInterfaceAddress("192.0.2.77"));  // reserved for examples, never configured
}

}  // namespace
