#pragma once

#include "console/station.h"

namespace iapflash {

// One whole download: load, open, start, program, verify, end, reset, close, summary.
// Disables the download button for its duration. Returns true when it ends with success.
bool DownloadRun(Station& station);

// The worker's body: DownloadRun, then 1000 ms later a posted device scan.
void DownloadThread(Station& station);

}  // namespace iapflash
