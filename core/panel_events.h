// The operator's actions on the panel, as events on one queue. Every
// producer (the GPIO buttons, the service keyboard, the remote link's
// panel commands, network clients) posts here; one thread, the timer,
// applies them between its frames, so the menu page, the editors, the bank
// and filter tables have one writer and the frames never see them half
// changed. A leaf: it knows nothing of what the events do.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

enum class PanelAct : uint8_t {
  Key,            // a: button 1..6; b: 0 short press, else the held mask of a long-press step
  SaveSetup,      // write setup.txt (service keyboard F11)
  RemoteService,  // remote service mode requested (service keyboard F10)
  RemoteCmd,      // text: a remote command that acts on the panel ("MIRKBANK", "MIRKPA1")
  RemoteEnded,    // the remote session ended: a held setup save is written now
  AmpLoader,      // the amplifier went into its loader ("MR1;" sent)
  // Network clients: what the panel's own keys would do.
  Tune,           // an automatic tune, as TUNE on the tuner page
  TuneStop,       // the running tune ends
  Standby,        // a: 1 standby, 0 operate
  Antenna,        // a: 1..3
  Bypass,         // a: 1 tuner bypassed, 0 in line
  ErrorReset,     // the error list's reset, as the error key
  Attenuator,     // a: attenuator step index
};

struct PanelEvent {
  PanelAct act = PanelAct::Key;
  int a = 0;
  int b = 0;
  bool report = true;   // Key: write the "panel: key ..." progress line
  char text[16] = {};   // RemoteCmd
};

// What applying an event gave. result: the button dispatch's return (1: a
// long press keeps repeating). refused with a reason where the panel would
// not take the action (for instance TUNE with the amplifier link down).
struct PanelReply {
  int result = 0;
  bool refused = false;
  char reason[96] = {};
};

class PanelQueue {
 public:
  static constexpr size_t kMaxWaiting = 64;

  // Posts without waiting for it to be applied. False when kMaxWaiting
  // events wait already (the event is dropped, logged at a limited rate).
  bool post(const PanelEvent& ev);
  // Posts and waits up to timeoutMs for the reply. False when the queue is
  // full or no reply came in time (the event may still be applied later).
  bool call(const PanelEvent& ev, PanelReply* reply, int timeoutMs);

  // Applier side. Takes the oldest event; false when none waits.
  bool take(PanelEvent* ev, uint64_t* ticket);
  // Hands the reply to a caller still waiting for ticket (none: dropped).
  void answer(uint64_t ticket, const PanelReply& r);
  // Waits up to us microseconds or until an event is posted.
  void waitForEvent(int64_t us);

  size_t waiting() const;
  void clear();

 private:
  struct Item {
    PanelEvent ev;
    uint64_t ticket;
  };
  struct Answer {
    uint64_t ticket;
    bool done;
    PanelReply reply;
  };
  bool enqueue(const PanelEvent& ev, uint64_t* ticket);  // under mut_
  mutable std::mutex mut_;
  std::condition_variable posted_;    // the applier waits on it
  std::condition_variable answered_;  // callers wait on it
  std::deque<Item> items_;
  std::deque<Answer> answers_;  // callers still waiting
  uint64_t next_ = 1;
};

struct Works;
// Posts a button event to the shared record's queue and waits for the
// dispatch's answer (the GPIO thread's key handler). Returns the
// dispatch's result (report: the press writes its progress line): 1 while a long press is to keep repeating; 0 when no
// answer came within a second.
int PanelKeyPost(Works* w, int key, int held, bool report);
