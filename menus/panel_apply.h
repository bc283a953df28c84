// The one place operator actions are applied: the timer thread drains the
// panel queue between frames and runs each event here, so the button
// dispatch and the editors have one thread.
#pragma once
#include <string>

#include "core/panel_events.h"

struct Works;

// Applies one event and fills its reply.
void PanelApply(Works* w, const PanelEvent& ev, PanelReply* reply);
// Applies every event waiting (at most max), answering each caller.
// Returns the number applied. Timer thread only.
int PanelDrain(Works* w, int max = 16);

// The network clients' actions (Tune, TuneStop, Standby, Antenna, Bypass,
// ErrorReset, Attenuator): what the panel's own keys do, refused with a
// reason where the panel would refuse them.
void PanelNetAction(Works* w, const PanelEvent& ev, PanelReply* reply);
// Publishes the panel-owned values network clients read (menus/panel_snapshot.h).
void PanelPublish(Works* w);

// What a key does on the pages an operator meets first, for the progress
// line each press writes ("panel: ..."); names of the menu pages.
const char* PanelPageName(int page);
std::string PanelKeyAction(int page, int key, bool longPress, bool errorPending);
