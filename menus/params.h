// Parameter editing: what each key of the parameter screen does to the
// selected setting, and the small editors of the other settings screens.
#pragma once
#include <cstdint>
struct Works;

// Keys handed to ModifyParameter.
enum ParamKey {
  kParConfirm = 0,
  kParMinus = 1,
  kParPlus = 2,
  kParLeft = 3,
  kParRight = 4,
};

// Applies key to parameter ParIdx (item ParSubIdx). Returns 1 when a
// continuously adjustable value changed (held keys keep repeating).
int ModifyParameter(Works* w, int key);
// Antenna-table cell (tabRowSel, tabColSel): down 1 decreases, 0 increases.
void ModifytabAntenna(Works* w, int down);
// Next interface of the active bank, applied and saved into the bank.
void ChangeInterfaceBanco(Works* w);
// Four-byte address editor: keys 1/2 change the byte at position, 3/4
// move the position (wrapping). Returns the new position, always 0..3.
int ModifyIP(int key, int position, uint8_t* address);
// Leaves the status-information screen; 1 when it was shown.
int EscFromStatus(Works* w);
// Loads a named picture into the background and shows it.
void ShowBackground(Works* w, const char* name);

// Outcome of the remote readiness check (r from Find_Remote_Settings, a the
// radio's audio devices): switches remote operation on, or records why it
// cannot be (errors 5, 20, 9, 6, 7) and marks the remote fault.
void RemoteReadiness(Works* w, int r, int a);

// Runs a script of the system by its absolute path (from the root on a dev
// machine) and waits for it.
void RunSystemScript(const char* path);

// The service shell, RemoteConnection, is in remote/service_shell.h.
