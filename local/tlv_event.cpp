// SPDX-License-Identifier: GPL-2.0-or-later
#include "local/tlv_event.h"

#include <stdio.h>

#include "local/tlv_class.h"
#include "support/cudp.h"
#include "telemetry/log_class.h"

void sendTlvEvent(CUDP& partner, const char* topic, const char* message) {
  unsigned char buffer[1024] = {0};
  buffer[0] = TAG_EVENT;
  int length = snprintf(reinterpret_cast<char*>(buffer) + 2, sizeof(buffer) - 2,
                        "{\"topic\":\"%s\",\"message\":\"%s\"}", topic, message);
  // The length byte counts the terminating zero, so the text holds 254 characters at most.
  if (length < 0 || length > 254) {
    logInstance.log(LOG_WARNING, "%s, event text too long for one message, not sent\n", "DMR");
    return;
  }
  buffer[1] = static_cast<unsigned char>(length + 1);
  partner.writeSocket(buffer, static_cast<unsigned int>(length + 1 + 2));
}
