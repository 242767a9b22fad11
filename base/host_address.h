// SPDX-License-Identifier: GPL-2.0-or-later
// A host's address of either family, and the one host lookup of the endpoints
// that name a single host (the local link, the broker, the partner tool). The
// lookup puts IPv4 first: a name with both kinds of record gives its first IPv4
// address, a name with IPv6 records only its first IPv6 one. An IPv4-mapped IPv6
// address (::ffff:192.0.2.1, which a dual-stack socket reports for an IPv4 peer)
// is held as the IPv4 address it maps, so either form of one host compares equal.
// Plain values; the lookup asks the system resolver and may wait for it. All of
// it is safe from any thread.
#pragma once

#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>

#include <string>

struct HostAddress {
  // The socket address as the socket calls take it; the family says which member
  // holds it (AF_UNSPEC: no address).
  union {
    struct sockaddr any;
    struct sockaddr_in v4;
    struct sockaddr_in6 v6;
  };

  HostAddress() : v6{} {}
  // What a socket call gave (recvfrom, getsockname, getaddrinfo), IPv4-mapped
  // made IPv4. An unknown family or a short length gives no address.
  static HostAddress fromSocket(const struct sockaddr* address, socklen_t length);
  // The wildcard address of the family with the port.
  static HostAddress wildcard(int family, uint16_t port);

  int family() const { return any.sa_family; }
  bool valid() const { return family() == AF_INET || family() == AF_INET6; }
  // The length of the family's socket address; 0 for none.
  socklen_t length() const;
  // Host byte order.
  uint16_t port() const;
  void setPort(uint16_t port);
  // The same host: family, address and, for IPv6, scope; ports are not compared.
  bool sameHost(const HostAddress& other) const;
  // The address in the form a socket of the family sends to: an IPv4 address
  // becomes IPv4-mapped for an IPv6 socket; anything else stays as it is.
  HostAddress forSocket(int socketFamily) const;
  // Numeric text ("127.0.0.1", "::1", "fe80::1%eth0"); empty for none.
  std::string text() const;
};

// 0 with the address stored (port 0), or the resolver's error code: EAI_NONAME
// when there is no host or it has no address of either family; EAI_SYSTEM
// leaves errno.
int resolveHost(const char* host, HostAddress* address);

// The host as it stands before ":port" in a log line or a URL: an IPv6 address
// in brackets ("[::1]"), anything else (a name, an IPv4 address, a host already
// in brackets) as it is.
std::string bracketedHost(const std::string& host);
// "127.0.0.1:36000", "[::1]:36000".
std::string hostWithPort(const std::string& host, const std::string& port);
