// board: where the daemon meets the board's file system and shell.
//
// On the board (no root set) every absolute path is used as it stands and
// every command line is run by the shell. On a simulated board
// (Board_SetRoot(DIR), "kovalan --root DIR") every absolute path is taken
// below DIR, and a command line is never run for real: it is appended as one
// line to DIR/var/log/board-commands.log, then handed, if DIR/sbin/board-command
// is executable, to that stand-in as its single argument with KOVALAN_ROOT=DIR
// in its environment; the stand-in's exit status stands for the command's.
//
// Every module builds its paths with Board_MapPath and runs its commands with
// Board_RunCommand; no other module touches either.
//
// Threads: any thread. The root is set once at start, before other threads
// run; appends to the command log are serialised by the module's lock.
#pragma once

#include "winemu.h"

// Longest path the daemon builds, terminator included.
constexpr int BOARD_PATH_MAX = 512;

// The simulated board's command log and its command stand-in, below the root.
constexpr const char* BOARD_COMMAND_LOG = "/var/log/board-commands.log";
constexpr const char* BOARD_COMMAND_HOOK = "/sbin/board-command";

// Sets the simulated board's root folder; null or "" selects the real board.
// FALSE (root unchanged) when the folder name is too long.
BOOL Board_SetRoot(const char* pszRoot);
// The root folder, "" on the real board.
const char* Board_GetRoot();
BOOL Board_IsSimulated();

// Maps a path of the board to the path to open; FALSE when it does not fit.
// Relative paths are left as they are.
BOOL Board_MapPath(const char* pszPath, char* pszOut, int nOutSize);

// Runs one shell command line of the board (see the header comment) and
// returns its exit status: 0 for success, -1 when it could not be run.
int Board_RunCommand(const char* pszCommand);

// Appends one line to the simulated board's command log without running
// anything (the clock requests); does nothing on the real board.
BOOL Board_RecordCommand(const char* pszLine);
