// The setup file "/opt/set/setup.txt": one "Key: value" line per setting.
#pragma once
struct Works;

void initSetup(Works* w);
void readSetup(Works* w);
int writeSetup(Works* w);
