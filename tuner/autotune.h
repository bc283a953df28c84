// Autotune search.
#pragma once
struct Works;
// One autotune step, run by the Linear thread after a status reply.
void TuneTask(Works* w);
