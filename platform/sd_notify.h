// The service manager's notification protocol: one datagram of
// "KEY=value" lines to the AF_UNIX socket named in NOTIFY_SOCKET. Outside
// a service manager (no NOTIFY_SOCKET) every call does nothing.
#pragma once
#include <cstdint>

bool sdNotifyEnabled();
// Sends one state text ("READY=1", "WATCHDOG=1", "STOPPING=1").
// False when not enabled or the send failed.
bool sdNotify(const char* state);
// Half the watchdog time-out the manager asked for (WATCHDOG_USEC, for
// this process), at most 1000 ms; 1000 ms when none was given.
int64_t sdWatchdogPingMs();
