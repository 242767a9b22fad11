// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/host_address.h"

#include <netdb.h>
#include <string.h>

HostAddress HostAddress::fromSocket(const struct sockaddr* address, socklen_t length) {
  HostAddress host;
  if (address == nullptr) return host;
  if (address->sa_family == AF_INET && length >= sizeof(struct sockaddr_in)) {
    memcpy(&host.v4, address, sizeof(host.v4));
  } else if (address->sa_family == AF_INET6 && length >= sizeof(struct sockaddr_in6)) {
    struct sockaddr_in6 v6;
    memcpy(&v6, address, sizeof(v6));
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      host.v4 = {};
      host.v4.sin_family = AF_INET;
      host.v4.sin_port = v6.sin6_port;
      memcpy(&host.v4.sin_addr, &v6.sin6_addr.s6_addr[12], sizeof(host.v4.sin_addr));
    } else {
      host.v6 = v6;
    }
  }
  return host;
}

HostAddress HostAddress::wildcard(int family, uint16_t port) {
  HostAddress host;
  if (family == AF_INET) {
    host.v4 = {};
    host.v4.sin_family = AF_INET;
    host.v4.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (family == AF_INET6) {
    host.v6.sin6_family = AF_INET6;
    host.v6.sin6_addr = in6addr_any;
  }
  host.setPort(port);
  return host;
}

socklen_t HostAddress::length() const {
  if (family() == AF_INET) return sizeof(v4);
  if (family() == AF_INET6) return sizeof(v6);
  return 0;
}

uint16_t HostAddress::port() const {
  if (family() == AF_INET) return ntohs(v4.sin_port);
  if (family() == AF_INET6) return ntohs(v6.sin6_port);
  return 0;
}

void HostAddress::setPort(uint16_t port) {
  if (family() == AF_INET) v4.sin_port = htons(port);
  if (family() == AF_INET6) v6.sin6_port = htons(port);
}

bool HostAddress::sameHost(const HostAddress& other) const {
  if (family() != other.family()) return false;
  if (family() == AF_INET) return v4.sin_addr.s_addr == other.v4.sin_addr.s_addr;
  if (family() == AF_INET6) {
    return memcmp(&v6.sin6_addr, &other.v6.sin6_addr, sizeof(v6.sin6_addr)) == 0 &&
           v6.sin6_scope_id == other.v6.sin6_scope_id;
  }
  return false;
}

HostAddress HostAddress::forSocket(int socketFamily) const {
  if (socketFamily != AF_INET6 || family() != AF_INET) return *this;
  HostAddress mapped;
  mapped.v6.sin6_family = AF_INET6;
  mapped.v6.sin6_port = v4.sin_port;
  mapped.v6.sin6_addr.s6_addr[10] = 0xFF;
  mapped.v6.sin6_addr.s6_addr[11] = 0xFF;
  memcpy(&mapped.v6.sin6_addr.s6_addr[12], &v4.sin_addr, sizeof(v4.sin_addr));
  return mapped;
}

std::string HostAddress::text() const {
  char host[NI_MAXHOST];
  if (!valid() || getnameinfo(&any, length(), host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0) return "";
  return host;
}

int resolveHost(const char* host, HostAddress* address) {
  if (host == nullptr) return EAI_NONAME;
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;  // one entry per address
  struct addrinfo* found = nullptr;
  int result = getaddrinfo(host, nullptr, &hints, &found);
  if (result != 0) return result;
  HostAddress first4;
  HostAddress first6;
  for (struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    HostAddress each = HostAddress::fromSocket(entry->ai_addr, entry->ai_addrlen);
    if (each.family() == AF_INET && !first4.valid()) first4 = each;
    if (each.family() == AF_INET6 && !first6.valid()) first6 = each;
  }
  freeaddrinfo(found);
  const HostAddress& chosen = first4.valid() ? first4 : first6;
  if (!chosen.valid()) return EAI_NONAME;
  *address = chosen;
  address->setPort(0);
  return 0;
}

std::string bracketedHost(const std::string& host) {
  const bool bare6 = host.find(':') != std::string::npos && host[0] != '[';
  return bare6 ? "[" + host + "]" : host;
}

std::string hostWithPort(const std::string& host, const std::string& port) { return bracketedHost(host) + ":" + port; }
