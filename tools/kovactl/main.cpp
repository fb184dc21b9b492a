// kovactl: the setting tool for a PC. Everything but the program entry and
// the terminal (kovactl_edit) is in kovactl_cli, so that the tests can run it
// in process.
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "kovactl_cli.h"
#include "kovactl_edit.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool interactive = isatty(STDIN_FILENO) == 1 && isatty(STDERR_FILENO) == 1;
    const bool follow = std::find(args.begin(), args.end(), "--follow") != args.end();
    const int status = KovactlMain(args, CtlTerminalSource(interactive, follow), std::cout, std::cerr);
    CtlTerminalClose();
    return status;
}
