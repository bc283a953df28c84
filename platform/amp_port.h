// Byte-level access to an already opened serial port, for links that poll
// the pending count and read one byte at a time.
#pragma once

// Reads one byte; returns what read() returned (1 on success).
int serialReadByte(int fd, char* c);
// Closes a port descriptor (ignores -1).
void serialClose(int fd);
