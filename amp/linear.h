// Amplifier serial link: the Linear thread and its command queue.
#pragma once
struct Works;

// Thread body: owns the amplifier port.
void Linear(Works* w);
// Queue an amplifier command number (safe from any thread).
void IncPNTIn_CMDLinear(Works* w, int cmd);
// Queue the amplifier start-up commands.
void InitMicroCmd(Works* w);
