// zelctl: sends control lines to a running simulated station.
//
//   zelctl ROOT LINE...     one line per argument, prints each reply
//   zelctl --new-key        prints a fresh access key for a pair of units
//                           (zelsim --key KEY writes it into a root)
//
// e.g. "zelctl /tmp/root 'radio freq 7074000' 'amp state'".
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/remote_config.h"

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--new-key") == 0) {
    const std::string key = makeAccessKey();
    if (key.empty()) {
      fprintf(stderr, "zelctl: no random source\n");
      return 1;
    }
    printf("%s\n", key.c_str());
    return 0;
  }
  if (argc < 3) {
    fprintf(stderr, "usage: zelctl ROOT LINE...\n       zelctl --new-key\n");
    return 2;
  }
  const std::string path = std::string(argv[1]) + "/sim.sock";
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un a;
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  if (s < 0 || path.size() >= sizeof a.sun_path) return 1;
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  if (connect(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
    fprintf(stderr, "zelctl: no station at %s\n", path.c_str());
    return 1;
  }
  for (int i = 2; i < argc; i++) {
    std::string line = std::string(argv[i]) + "\n";
    if (write(s, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
    std::string reply;
    char c;
    while (read(s, &c, 1) == 1 && c != '\n') reply += c;
    printf("%s\n", reply.c_str());
  }
  close(s);
  return 0;
}
