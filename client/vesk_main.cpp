// The vesk command-line tool; everything but the entry point lives in cli.cpp.
#include "client/cli.h"

int main(int argc, char** argv) {
    return vesk::cli::run(argc, argv);
}
