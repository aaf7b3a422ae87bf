// xbmtool: converts Extended Bitmaps between pixel depths in place.
#include "xbmconvert.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return xbm::run(args, std::cout, std::cerr);
}
