// Device nodes on the (rooted) file system.
#pragma once
#include <string>
#include <vector>

// Device nodes matching a pattern such as "/dev/MIRKCAT*" (resolved under
// ZELPYX_ROOT), returned as system paths in sorted order.
std::vector<std::string> globDevices(const std::string& absPattern);
