// PLACEHOLDER until the timer thread lands.
#include "screens/timer.h"
void timer(Works*) {}
