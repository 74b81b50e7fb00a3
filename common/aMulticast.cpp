/* UDP multicast sockets: a sender sends datagrams to a group, a receiver joined
 * to the group takes them with a one-second timeout. */
#include "aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

struct aMulticast {
  int sock;
  addrinfo* group;
  addrinfo* bind;
  addrinfo* iface;
  uint8_t sender;
};

namespace {

addrinfo* resolve(const char* host, uint16_t port, bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  char service[8];
  snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo* out = nullptr;
  if (getaddrinfo(host, service, &hints, &out) != 0) return nullptr;
  return out;
}

void release(aMulticast* m) {
  if (m->sock >= 0) close(m->sock);
  if (m->group) freeaddrinfo(m->group);
  if (m->bind) freeaddrinfo(m->bind);
  if (m->iface) freeaddrinfo(m->iface);
  free(m);
}

in_addr addressOf(const addrinfo* ai) { return reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr; }

}  // namespace

aLIB_BEGIN

aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, uint8_t sender) {
  aMulticast* m = static_cast<aMulticast*>(calloc(1, sizeof(aMulticast)));
  if (!m) return nullptr;
  m->sock = -1;
  m->sender = sender ? 1 : 0;
  if (interfaceAddress == 0) interfaceAddress = htonl(INADDR_LOOPBACK);
  char ifaceText[INET_ADDRSTRLEN], groupText[INET_ADDRSTRLEN];
  in_addr a;
  a.s_addr = interfaceAddress;
  inet_ntop(AF_INET, &a, ifaceText, sizeof ifaceText);
  a.s_addr = groupAddress;
  inet_ntop(AF_INET, &a, groupText, sizeof groupText);

  m->group = resolve(groupText, port, false);
  m->bind = m->sender ? resolve(ifaceText, 0, false) : resolve(nullptr, port, true);
  m->iface = resolve(ifaceText, 0, false);
  if (!m->group || !m->bind || !m->iface) {
    release(m);
    return nullptr;
  }
  m->sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  int off = 0;
  unsigned char ttl = 1, loop = 1;
  timeval timeout{1, 0};
  ip_mreq membership{};
  membership.imr_multiaddr = addressOf(m->group);
  membership.imr_interface = addressOf(m->iface);
  in_addr outgoing = addressOf(m->iface);
  bool ok = m->sock >= 0 && setsockopt(m->sock, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) == 0 &&
            (m->sender || ::bind(m->sock, m->bind->ai_addr, m->bind->ai_addrlen) == 0) &&
            setsockopt(m->sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0 &&
            setsockopt(m->sock, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0 &&
            setsockopt(m->sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
            setsockopt(m->sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
            setsockopt(m->sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0;
  if (!ok) {
    release(m);
    return nullptr;
  }
  return m;
}

int aMulticast_Destroy(aMulticast** multicast) {
  if (!multicast || !*multicast) return -2;
  release(*multicast);
  *multicast = nullptr;
  return 0;
}

int aMulticast_Receive(aMulticast* m, uint8_t* buffer, uint32_t size) {
  if (!m) return -2;
  if (m->sender) return -3;
  if (!buffer) return -1;
  ssize_t n = recvfrom(m->sock, buffer, size, 0, nullptr, nullptr);
  return n < 0 ? -1 : static_cast<int>(n);
}

int aMulticast_Send(aMulticast* m, const uint8_t* bytes, uint32_t length) {
  if (!m) return -2;
  if (!m->sender) return -3;
  if (!bytes) return -1;
  ssize_t n = sendto(m->sock, bytes, length, 0, m->group->ai_addr, m->group->ai_addrlen);
  return n < 0 ? -1 : static_cast<int>(n);
}

aLIB_END
