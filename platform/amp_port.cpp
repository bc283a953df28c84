#include "platform/amp_port.h"

#include <unistd.h>

int serialReadByte(int fd, char* c) {
  if (fd < 0) return -1;
  return static_cast<int>(read(fd, c, 1));
}

void serialClose(int fd) {
  if (fd >= 0) close(fd);
}
