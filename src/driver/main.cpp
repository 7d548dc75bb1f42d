#include "driver/command_line.h"

int main(int argc, char** argv) {
    RunOptions settings;
    return run_zembra(argc, argv, &settings);
}
