#include "remote/remote_senders.h"

#include "core/works.h"

// Nothing goes out while no peer is connected; the transport fills these in.
void sendWebSockCatFrame(Works* w, const char*, int) {
  if (w->remoteConnected.load() == 0) return;
}

void sendWebSockSerParFrame(Works* w, const uint8_t*, int) {
  if (w->remoteConnected.load() == 0) return;
}

void sendWebSockSerSpectrFrame(Works* w, const uint8_t*, int) {
  if (w->remoteConnected.load() == 0) return;
}
