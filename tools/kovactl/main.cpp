// kovactl: the setting tool for a PC. Everything but the program entry is in
// kovactl_cli, so that the tests can run it in process.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "kovactl_cli.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool prompt = isatty(STDIN_FILENO) == 1 && isatty(STDERR_FILENO) == 1;
    return KovactlMain(args, std::cin, std::cout, std::cerr, prompt);
}
