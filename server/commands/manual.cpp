// tovix-server-manual IN OUT: the manual page IN with its option list made
// from the table of options (the line `.\" OPTION LIST` replaced), as OUT.
// Run by the build (cmake/packaging.cmake); installed nowhere.
#include "commands/options.h"

#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: tovix-server-manual IN OUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    std::ostringstream page;
    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        if (line == ".\\\" OPTION LIST") {
            page << tovix::server::option_list_roff();
            found = true;
        } else {
            page << line << '\n';
        }
    }
    if (!in.eof() || !found) {
        std::cerr << "tovix-server-manual: " << argv[1]
                  << (found ? ": cannot be read\n" : ": no option list line\n");
        return 1;
    }
    std::ofstream out(argv[2]);
    out << page.str();
    return out.flush() ? 0 : 1;
}
