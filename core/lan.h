// LAN settings from /etc/network/interfaces.
#pragma once
int ReadLanParam();
