#include "loopback.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace osl::sim {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

} // namespace

int free_loopback_port() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    // Port 0: the kernel picks a free one, which the name then tells.
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    const bool ok = bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0;
    close(s);
    return ok ? ntohs(a.sin_port) : -1;
}

bool loopback_accepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    const sockaddr_in a = loopback(port);
    const bool ok = connect(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

} // namespace osl::sim
