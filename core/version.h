// The program's version: shown at start, by --version, and taken by the
// build for the Debian package's version.
#pragma once
#define ZELPYX_VERSION "0.054"
