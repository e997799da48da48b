// Writes the program's icon as a PNG for installation: quarnel_icon FILE SIZE.
#include <cstdlib>
#include <iostream>

#include "app/WindowIcon.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: quarnel_icon FILE SIZE\n";
        return 2;
    }
    const int size = std::atoi(argv[2]);
    if (size <= 0 || !quarnel::DrawWindowIcon(size).save(argv[1], "PNG")) {
        std::cerr << "quarnel_icon: could not write " << argv[1] << '\n';
        return 1;
    }
    return 0;
}
