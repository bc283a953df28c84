#include "tests/support/serial_peer.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "platform/serial.h"
#include "tests/support/pty.h"
#include "tests/support/wait.h"

SerialPeer::SerialPeer(int fd, Responder responder) : fd_(fd), responder_(std::move(responder)) {
  th_ = std::thread(&SerialPeer::run, this);
}

SerialPeer::~SerialPeer() { stop(); }

void SerialPeer::stop() {
  stop_ = true;
  if (th_.joinable()) th_.join();
}

void SerialPeer::run() {
  std::string cur;
  char buf[256];
  while (!stop_) {
    struct pollfd p = {fd_, POLLIN, 0};
    int r = poll(&p, 1, 20);
    if (r <= 0) continue;
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && errno != EAGAIN && errno != EINTR) usleep(5000);
      continue;
    }
    for (ssize_t i = 0; i < n; i++) {
      cur += buf[i];
      if (buf[i] != ';') continue;
      std::string frame;
      frame.swap(cur);
      std::string reply = responder_ ? responder_(frame) : std::string();
      {
        std::lock_guard<std::mutex> lk(mut_);
        frames_.push_back(frame);
      }
      if (!reply.empty()) send(reply);
    }
  }
}

std::vector<std::string> SerialPeer::frames() const {
  std::lock_guard<std::mutex> lk(mut_);
  return frames_;
}

size_t SerialPeer::frameCount() const {
  std::lock_guard<std::mutex> lk(mut_);
  return frames_.size();
}

bool SerialPeer::waitFrames(size_t n, int timeoutMs) const {
  return waitFor([&] { return frameCount() >= n; }, timeoutMs);
}

int SerialPeer::waitFrame(const std::function<bool(const std::string&)>& pred, size_t from,
                          int timeoutMs) const {
  int found = -1;
  waitFor(
      [&] {
        std::lock_guard<std::mutex> lk(mut_);
        for (size_t i = from; i < frames_.size(); i++)
          if (pred(frames_[i])) {
            found = static_cast<int>(i);
            return true;
          }
        return false;
      },
      timeoutMs);
  return found;
}

void SerialPeer::send(const std::string& bytes) {
  std::lock_guard<std::mutex> lk(writeMut_);
  if (split_) {
    writeSplit(fd_, bytes, seed_++);
  } else {
    serialWriteAll(fd_, bytes.data(), bytes.size(), 5000);
  }
}

std::string frameText(const std::string& frame) { return frame.size() >= 2 ? frame.substr(2) : std::string(); }
