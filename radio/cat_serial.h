// FT-817 CAT poll for radios other than the companion radio.
#pragma once
struct Works;
void CatSerial(Works* w);
