#include "platform/gpio_block.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths.h"

volatile uint32_t* gpioMapBlock(bool* openFailed, int* err) {
  *openFailed = false;
  *err = 0;
  const std::string path = rootPath("/dev/mem");
  int fd = open(path.c_str(), O_RDWR | O_SYNC);
  if (fd < 0) {
    *openFailed = true;
    *err = errno;
    return nullptr;
  }
  struct stat sb;
  if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_size < gpio::kBase + gpio::kSize) {
    close(fd);
    *err = ENXIO;
    return nullptr;
  }
  void* p = mmap(nullptr, gpio::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, gpio::kBase);
  int e = errno;
  close(fd);
  if (p == MAP_FAILED) {
    *err = e;
    return nullptr;
  }
  return static_cast<volatile uint32_t*>(p);
}

void gpioUnmapBlock(volatile uint32_t* block) {
  if (block != nullptr) munmap(const_cast<uint32_t*>(block), gpio::kSize);
}
