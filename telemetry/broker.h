// Broker attachment: at start-up, connects the one MQTT client when a broker is
// configured and hands it to the logger, which then publishes every emitted line.
#pragma once

struct Settings_t;

void setBroker(Settings_t* settings);
