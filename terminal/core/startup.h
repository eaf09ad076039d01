// The terminal session: start-up, the receive loop and the end.
#pragma once

// The program entry of a session, after the options of our own have been
// read (main.cpp); argv holds the program name, the device and the '/'
// options.  Returns the exit status.
int TarvikMain(int argc, char **argv);
