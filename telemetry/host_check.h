// SPDX-License-Identifier: GPL-2.0-or-later
// The names the status page answers to. A web page the operator opens elsewhere
// can point a name of its own at this machine (DNS rebinding) and then read the
// page as if it were its own; the browser still sends that foreign name in the
// Host header. So a request is served only when its Host names this machine:
// the listening address (any numeric address while listening on every
// interface, since a page reached by its address is no other site's origin),
// localhost, the machine's host name (also without its domain, and with
// .local as mDNS gives it), or a name the operator lists. Built once before the
// server starts, then only read: safe from any thread.
#pragma once

#include <string>
#include <vector>

class HostCheck {
 public:
  HostCheck() = default;
  // listening: the numeric address the server listens on; machine: this
  // machine's host name; listed: the operator's names (see parseList).
  HostCheck(const std::string& listening, const std::string& machine, const std::vector<std::string>& listed);

  // The value of a Host header, with or without a port, an IPv6 address in
  // brackets: true when it is one of this machine's names. Letter case and one
  // trailing dot do not count.
  bool allows(const std::string& host) const;

  // The operator's list: names or numeric addresses separated by commas or
  // blanks, without ports. Blank text: none. false, with why, at a bad entry.
  static bool parseList(const char* text, std::vector<std::string>* names, std::string* why);

 private:
  std::vector<std::string> names;  // lower case, without a trailing dot
  std::string address;             // the listening address, as a numeric one prints
  bool everyAddress = false;       // listening on 0.0.0.0 or ::
};
