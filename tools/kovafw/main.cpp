// kovafw: the firmware package tool. See kovafw --help.

#include <iostream>
#include <string>
#include <vector>

#include "kovafw_cli.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return KovafwMain(args, std::cout, std::cerr);
}
