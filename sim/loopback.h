// A private broker on this machine's loopback, for the MQTT bridge's tests
// and its demonstration: a port nobody listens on, and whether one listens.
#pragma once

namespace osl::sim {

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_loopback_port();
// True when something accepts connections on 127.0.0.1:port.
bool loopback_accepts(int port);

} // namespace osl::sim
