// vornctl's entry point: runs one command line against a board.
#include "cli.h"

#include <exception>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        return vornctl::run(args, std::cout, std::cerr);
    } catch (const std::exception& error) {
        std::cerr << "vornctl: " << error.what() << '\n';
        return vornctl::kExitFailed;
    }
}
