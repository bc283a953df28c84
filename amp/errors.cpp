// PLACEHOLDER until the error list lands.
#include "amp/errors.h"
void AddErrore(Works*, int) {}
void DeleteErrore(Works*, int) {}
