// kovactl_edit: the terminal side of an interactive kovactl: lines read with
// libedit's line editor (history kept in ~/.kovactl_history, completion of
// command words and their arguments from the command table), a PassWord read
// without echo, and Ctrl-C caught so that a `log --follow` ends cleanly.
// Without libedit (a cross build) lines are read plainly with a prompt.
//
// Threads: the main thread only; the signal handler only sets an atomic flag.
#pragma once

#include "kovactl_cli.h"

// A line source for a session typed on this terminal (or fed by a pipe when
// interactive is false). catchInterrupt: Ctrl-C only sets the stop flag (for
// a `log --follow` on the command line), else it ends kovactl as usual.
CtlLineSource CtlTerminalSource(bool interactive, bool catchInterrupt);
// Saves the history (when there is a line editor).
void CtlTerminalClose();
