#include "menus/panel_apply.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "core/setup.h"
#include "core/station_hooks.h"
#include "core/works.h"
#include "menus/bank.h"
#include "screens/buttons.h"
#include "menus/dispatch.h"
#include "platform/clock.h"
#include "remote/remote_dispatch.h"
#include "remote/service_shell.h"
#include "screens/views.h"

namespace {

void applyKey(Works* w, const PanelEvent& ev, PanelReply* reply) {
  const int page = w->MenuIdx;
  const bool err = ev.report && ev.a == 1 && VerifyError(w);
  reply->result = DecodeTasto(w, ev.a, ev.b);
  if (ev.report) {
    fprintf(stderr, "panel: key %d %s (%s) on %s -> %s\n", ev.a, ev.b != 0 ? "long" : "short",
            PanelKeyAction(page, ev.a, ev.b != 0, err).c_str(), PanelPageName(page),
            PanelPageName(w->MenuIdx));
    w->reportedPage = w->MenuIdx;
  }
}

void applyRemoteCmd(Works* w, const PanelEvent& ev) {
  const std::string cmd(ev.text, strnlen(ev.text, sizeof ev.text));
  if (cmd.compare(0, 8, "MIRKBANK") == 0 || cmd.compare(0, 7, "MIRKPA1") == 0) {
    fprintf(stderr, "ChangeBanco\n");
    // The bank changes at once; setup.txt follows at most once a second.
    ChangeBanco(w, false);
    if (w->remoteSaves.request(monoMicros() / 1000)) writeSetup(w);
  }
}

}  // namespace

void PanelApply(Works* w, const PanelEvent& ev, PanelReply* reply) {
  switch (ev.act) {
    case PanelAct::Key:
      applyKey(w, ev, reply);
      break;
    case PanelAct::SaveSetup:
      writeSetup(w);
      break;
    case PanelAct::RemoteService:
      // The service session lasts as long as the operator keeps it: the
      // panel and its frames go on meanwhile.
      std::thread(RemoteConnection).detach();
      w->updateFlags |= 0x02;
      break;
    case PanelAct::RemoteCmd:
      applyRemoteCmd(w, ev);
      break;
    case PanelAct::RemoteEnded:
      flushRemoteSaves(w, true);
      break;
    case PanelAct::AmpLoader:
      w->updateFlags |= 4;
      w->MenuIdx = 0;
      break;
    default:
      PanelNetAction(w, ev, reply);
      break;
  }
}

int PanelDrain(Works* w, int max) {
  int n = 0;
  PanelEvent ev;
  uint64_t ticket = 0;
  while (n < max && w->panelQ.take(&ev, &ticket)) {
    PanelReply reply;
    PanelApply(w, ev, &reply);
    w->panelQ.answer(ticket, reply);
    n++;
  }
  flushRemoteSaves(w);
  // The information screen shows the radio's own frequency: its data port
  // has to run. Not while a failure is shown, or every cycle would retry
  // the port. Only a bank on the companion radio has a data port to open.
  SetupRec* s = w->setup;
  if (w->overlay == 1 && s != nullptr && w->ModeWorkIdx.load() == 1 && runByte(s->zelRun) == '0' &&
      w->failCode == 0) {
    setRunByte(s->zelRun, '1');
    startDataPort(w);
  }
  // The page may also change without a key (a failure shown, dismissed).
  if (w->MenuIdx != w->reportedPage) {
    w->reportedPage = w->MenuIdx;
    fprintf(stderr, "panel: page %s\n", PanelPageName(w->reportedPage));
  }
  PanelPublish(w);
  return n;
}

const char* PanelPageName(int page) {
  static const char* const kNames[13] = {
      "main",          "parameter list", "parameter edit", "tuner",           "manual tune",
      "link error",    "utility",        "table edit",     "save tune memory", "bank utility",
      "copy bank",     "reset bank",     "filter settings"};
  return (page >= 0 && page < 13) ? kNames[page] : "?";
}
std::string PanelKeyAction(int page, int key, bool longPress, bool errorPending) {
  if (key < 1 || key > 6) return "?";
  if (key == 1 && errorPending) return "RESET error";
  switch (page) {
    case 0: {
      static const char* const s[6] = {"next bank", "attenuator step", "next antenna",
                                       "tuner page", "parameter pages", "next view"};
      static const char* const l[6] = {"utility page", "nothing", "next antenna",
                                       "tuner page", "parameter pages", "status screen"};
      return longPress ? l[key - 1] : s[key - 1];
    }
    case 1: {
      static const char* const s[6] = {"back to main", "nothing", "previous parameter",
                                       "next parameter", "nothing", "edit parameter"};
      return s[key - 1];
    }
    case 2: {
      static const char* const s[6] = {"nothing", "cursor left", "cursor right",
                                       "minus", "plus", "confirm"};
      return s[key - 1];
    }
    case 3: {
      static const char* const s[6] = {"back to main", "nothing", "nothing",
                                       "TUNE", "tuner bypass", "manual tuning"};
      if (key == 6 && longPress) return "resend band settings";
      return s[key - 1];
    }
    case 4: {
      static const char* const s[6] = {"save tune page", "L down", "L up",
                                       "C down", "C up", "transmit on/off"};
      if (key == 1 && longPress) return "network mode";
      return s[key - 1];
    }
    default:
      break;
  }
  if (page < 0 || page >= kMenuPages) return "?";
  // Elsewhere the button's own label says it.
  std::string t = Zarnmenu[page].button[key - 1].line1;
  size_t a = t.find_first_not_of(' ');
  if (a == std::string::npos) return "nothing";
  size_t z = t.find_last_not_of(' ');
  return t.substr(a, z - a + 1);
}
