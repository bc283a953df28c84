// A scripted peer on the far end of a pseudo-terminal: it gathers the
// frames the code under test writes (one frame ends with ";") and answers
// each through a responder function.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SerialPeer {
 public:
  // Gets one whole frame as it came on the wire (check characters
  // included); returns the bytes to send back ("" = stay silent).
  using Responder = std::function<std::string(const std::string& frame)>;

  // fd: the pty master (not owned).
  SerialPeer(int fd, Responder responder);
  ~SerialPeer();  // stops the thread
  SerialPeer(const SerialPeer&) = delete;
  SerialPeer& operator=(const SerialPeer&) = delete;

  void stop();
  // Every frame received so far, in order.
  std::vector<std::string> frames() const;
  size_t frameCount() const;
  // Waits (generous deadline) until at least n frames arrived.
  bool waitFrames(size_t n, int timeoutMs = 15000) const;
  // Waits until a frame satisfying pred arrived at index >= from;
  // returns its index or -1.
  int waitFrame(const std::function<bool(const std::string&)>& pred, size_t from = 0,
                int timeoutMs = 15000) const;
  // Sends bytes now (outside the responder), split at random points.
  void send(const std::string& bytes);
  // Replies are cut into random pieces unless turned off.
  void setSplitWrites(bool on) { split_ = on; }

 private:
  void run();
  int fd_;
  Responder responder_;
  mutable std::mutex mut_;
  std::mutex writeMut_;
  std::vector<std::string> frames_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> split_{true};
  unsigned seed_ = 7;
  std::thread th_;
};

// The text of a frame without its two check characters ("4dST;" -> "ST;").
std::string frameText(const std::string& frame);
