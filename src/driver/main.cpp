#include "driver/command_line.h"

int main(int argc, char** argv) {
    return run_zembra(argc, argv);
}
