#pragma once

#include <string>

#include "app/win32/main_window.h"

namespace iapflash::gui {

// Drives the open dialog through window messages, as an operator would: waits for the first
// scan, tries the download with no device selected, with no path and with a missing file
// (checking each message box and log line), cancels the open-file dialog, downloads updateFile
// into the selected device, reads back the log pane and clears it, and closes the window.
// Runs on a thread of its own while the dialog runs. Returns true when every check passed;
// report gets the log pane's text and a line per failed check. With a readyFile, the window
// stays open at the end (for a screenshot) and the file is written once it is ready. With an
// openedWith path, the path control must hold it when the window opens.
bool RunSelfTest(const MainWindow& window, const std::string& updateFile, std::string& report,
                 const std::string& readyFile = "", const std::string& openedWith = "");

}  // namespace iapflash::gui
