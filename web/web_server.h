// The embedded HTTP/1.1 + WebSocket server (civetweb): the page, the API
// of web/web_api.h, and the events socket that pushes the status.
#pragma once
#include <cstdint>
#include <string>

#include "web/web_config.h"

struct Works;
class WebServer;

// Starts the server for c on w; null (logged) when it cannot listen.
WebServer* WebServerStart(Works* w, const WebConfig& c);
// The port it listens on (the configured one, or the one chosen for 0).
int WebServerPort(const WebServer* s);
// One push round of the events socket (the web thread, every 100 ms):
// the status goes to every client when it changed, every round while
// transmitting, and at least every 5 s. Returns the clients served.
int WebServerPush(WebServer* s, int64_t nowMs);
void WebServerStop(WebServer* s);

// The web thread: loads web.txt, serves while `running`, stops.
void WebThread(Works* w);

// The page and the OpenAPI document, built into the program.
extern const unsigned char kWebPage[];
extern const unsigned long kWebPageSize;
extern const unsigned char kWebOpenApi[];
extern const unsigned long kWebOpenApiSize;
