// PLACEHOLDER until the button strip lands.
#include "menus/buttons.h"
void InitMenuZarn(Works*) {}
void LoadButtons(Works*) {}
