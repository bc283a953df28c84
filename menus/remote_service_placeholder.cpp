// The service shell, until the remote link's own definition lands.
#include <cstdio>
#include <syslog.h>

#include "menus/params.h"
#include "platform/log.h"

void RemoteConnection() {
  fprintf(stderr, "launching ssh\n");
  zlog(LOG_INFO, "launching ssh");
  RunSystemScript("/opt/sshshell");
  zlog(LOG_INFO, "launched ssh");
  fprintf(stderr, "launched screenshot\n");
}
