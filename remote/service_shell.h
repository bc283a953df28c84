// The remote service shell "/opt/sshshell", opened from the service
// keyboard and from the parameter menu.
#pragma once

// Runs the shell script and waits for it to end.
void RemoteConnection();
