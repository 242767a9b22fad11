// SPDX-License-Identifier: GPL-2.0-or-later
// The one host lookup of the IPv4 endpoints (the local link, the broker, the
// partner tool): the first IPv4 address of a dotted quad or a host name. It
// asks the system resolver and may wait for it; safe from any thread.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

// 0 with the address stored, or the resolver's error code (EAI_NONAME when
// there is no host at all or it has no IPv4 address; EAI_SYSTEM leaves errno).
inline int resolveIPv4(const char* host, struct in_addr* address) {
  if (host == nullptr) return EAI_NONAME;
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  struct addrinfo* found = nullptr;
  int result = getaddrinfo(host, nullptr, &hints, &found);
  if (result != 0) return result;
  result = EAI_NONAME;
  for (struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      *address = reinterpret_cast<struct sockaddr_in*>(entry->ai_addr)->sin_addr;
      result = 0;
      break;
    }
  }
  freeaddrinfo(found);
  return result;
}
