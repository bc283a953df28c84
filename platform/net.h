// TCP sockets of the remote link. Every wait is bounded and polls a stop
// predicate, so a link thread ends promptly when the controller stops.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

using NetKeepGoing = std::function<bool()>;

// IPv4 stream socket bound to addr (a dotted address; "" = any address,
// or $ZELPYX_LISTEN_ADDR when that is a dotted address) on port (0 = an
// ephemeral port), SO_REUSEADDR set, listening with the given backlog.
// Returns the socket, or -1 with errno set and *stage naming the failed
// step: 0 socket (or a bad address), 1 bind, 2 listen.
int netListen(uint16_t port, int backlog, int* stage, const std::string& addr = "");
// Like netListen on 127.0.0.1 only (tests).
int netListenLoopback(uint16_t port, int backlog);
// Port a bound socket listens on.
int netLocalPort(int sock);
// Waits for a connection while keepGoing(); returns the socket, -2 when
// keepGoing turned false, -1 on an accept error (errno set). The dotted
// peer address goes to peer.
int netAccept(int lsock, const NetKeepGoing& keepGoing, std::string* peer);
// Resolves an IPv4 name or dotted address; false when unknown.
bool netResolve(const std::string& host, uint32_t* addrBE);
// Connects to addr:port within timeoutMs. Returns the socket or -1.
int netConnect(uint32_t addrBE, uint16_t port, int timeoutMs);
// Waits up to timeoutMs for data; 1 readable, 0 not yet, -1 error.
int netWaitReadable(int sock, int timeoutMs);
// The first byte waiting on the socket, left there (MSG_PEEK), within
// timeoutMs while keepGoing(): 0..255, -1 the peer closed or an error,
// -2 nothing came in time.
int netPeekByte(int sock, int timeoutMs, const NetKeepGoing& keepGoing);
// One recv (non-blocking once netWaitReadable said so); as recv.
ssize_t netRecv(int sock, void* buf, size_t n);
// Writes all bytes in one send call (MSG_NOSIGNAL). Every link socket has
// a 2 s send time-out and TCP keep-alive (a dead peer shows as a read
// error within about 30 s), so a peer that stops reading cannot block the
// caller for long. Returns what send returned.
ssize_t netSend(int sock, const void* buf, size_t n);
// Stops both directions (the link thread's reads then end).
void netShutdown(int sock);
void netClose(int sock);
// Reads exactly n bytes of the rooted "/dev/urandom". Returns the count
// read, or -1 when it cannot be opened (errno set).
int netRandomBytes(uint8_t* out, int n);
