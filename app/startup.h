#pragma once
// The messenger from start to end: the directory settings, the windows, the event loop until
// the tray menu's "Close", and the windows freed on the way out.

namespace sorvane::app {

// Runs the program and returns its exit status. The directory is the one the settings name
// (the environment, the settings files, else the built-in address). The command line is
// handed to Qt and otherwise ignored.
int runMessenger(int& argc, char** argv);

} // namespace sorvane::app
