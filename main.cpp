#include "core/spine.h"

int main() { return zelpyxMain(); }
