// `zelpyx --check`: every operator file under the root read by the
// program's own readers, each problem they meet reported as FILE:LINE.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "core/file_problems.h"

// Files of "name value" lines whose readers are still to come: a line
// needs a name and a value. Give a file its own validator in
// kNameValueFiles (file_check.cpp).
void checkNameValueLines(const std::string& absPath, FILE* f);

// Checks every file; returns the problems found.
std::vector<FileProblem> checkOperatorFiles();
// Prints each problem ("FILE:LINE: error|warning: text") to out; returns
// the exit status: 1 when any file would be replaced by defaults, else 0.
int runFileCheck(FILE* out);
