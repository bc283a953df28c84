#include "remote/service_shell.h"

#include <cerrno>
#include <cstdio>
#include <syslog.h>

#include "platform/log.h"
#include "platform/paths.h"

void RemoteConnection() {
  fprintf(stderr, "launching ssh\n");
  zlog(LOG_INFO, "launching ssh");
  // The operator's service session lasts as long as it lasts.
  if (runCommand(commandPath("/opt/sshshell"), kCommandNoTimeout) != 0) zlog(LOG_ERR, "can't run /opt/sshshell error %d", errno);
  zlog(LOG_INFO, "launched ssh");
  fprintf(stderr, "launched screenshot\n");
}
