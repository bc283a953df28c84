// Line reading shared by the antenna-table and tune-memory readers.
#pragma once
#include <cstdio>
#include <string>

// Reads one line of at most 511 characters, without its "\n" and a
// trailing "\r". Returns false at end of file. A longer line is read to
// its end and reported with tooLong set, so that it can be skipped whole
// instead of being taken as two lines.
bool ReadConfLine(FILE* f, std::string& line, bool* tooLong);

