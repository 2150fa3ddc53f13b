#include "link/download_run.h"

namespace iapflash {

// Not yet implemented.
bool DownloadRun(Station&) { return false; }
void DownloadThread(Station&) {}

}  // namespace iapflash
