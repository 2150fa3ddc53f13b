#include "platform/standard_streams.h"

namespace iapflash {

// Ports, files and consoles are handles here, never the C runtime's numbers 0 to 2.
void OpenClosedStandardStreams() {}

}  // namespace iapflash
