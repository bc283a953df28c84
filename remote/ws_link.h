// The link threads: Wsocket (station, server) and Wclient (operator,
// client). They move bytes and sleep; the handshake counting, framing and
// dispatch are in ws_proto.h and remote_dispatch.h.
#pragma once
#include <atomic>

struct Works;

void Wsocket(Works* w);
void Wclient(Works* w);

// A peer has this long from its connection to the end of the handshake
// and the access key (station) or to the end of the server's answer
// (operator); then the connection is closed and the slot is free again.
extern std::atomic<int> wsHandshakeTimeoutMs;
// The station waits this long before it listens (2 s; tests shorten it).
extern std::atomic<int> wsStartDelayMs;
// Port the station listens on once listening (0 before); with "TcpPort"
// 0 the system picks a free one.
extern std::atomic<int> wsListeningPort;
// The operator unit's wait before it tries a server again after that
// server answered the handshake wrongly for the n-th time in a row:
// 2 s doubling up to 60 s.
int wsRetryDelayMs(int badAnswers);
// 1 while a link thread runs.
extern std::atomic<int> wsThreadRunning;

// The service shell, RemoteConnection, is remote/service_shell.h.
