#pragma once

#include <string>

namespace iapflash {

// Whether two port names lead to one device, however each is spelt, so that no device is run
// twice. Remote names (their scheme in any case) reach one device when they reach the same
// server and port, rfc2217:// and tcp:// alike, the host as a name or as any of its addresses.
// Local names are compared by what opening them opens (SameLocalPortDevice). A remote name is
// never the same as a local one. May look host names up (once each for the process's life).
bool SamePortDevice(const std::string& a, const std::string& b);

// For the machine's own ports. Linux: the device that LocalPortPath leads to, by its device
// number (a link and its target, /dev/../dev/pts/1, //dev/pts/1 are one); paths that lead
// nowhere by their letters once "." and ".." are resolved. Windows: the COM name without the
// case of its letters and without the \\.\ prefix.
bool SameLocalPortDevice(const std::string& a, const std::string& b);

// The path that opening a local port by this name opens: a name without a separator is looked
// for where the system keeps its ports (ttyACM0: /dev/ttyACM0; COM5: \\.\COM5); on Linux any
// other name is a path as it stands (pts/3 relative to the working folder), on Windows a name
// given with its \\.\ prefix is taken as it is.
std::string LocalPortPath(const std::string& name);

}  // namespace iapflash
