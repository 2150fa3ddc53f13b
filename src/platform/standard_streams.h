#pragma once

namespace iapflash {

// Called first thing in main, before anything is opened: a standard stream (0, 1, 2) that the
// program was started without is opened on the null device. Otherwise the next open would
// take its number, and a serial port could become stdout, the log then going down its line.
void OpenClosedStandardStreams();

}  // namespace iapflash
