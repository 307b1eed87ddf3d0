// The front end of update_syscon: one run, from the command line to the
// process status.
#pragma once

// Parses the command line, sets up the port, runs the one operation and
// closes the port. Returns the exit status: 0, 1, 11, 128 + a signal, or -1
// (seen as 255).
int update_syscon_main(int argc, char **argv);
