// kovadir: the directory tool. See kovadir --help.

#include <iostream>
#include <string>
#include <vector>

#include "kovadir_cli.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return KovadirMain(args, std::cout, std::cerr);
}
