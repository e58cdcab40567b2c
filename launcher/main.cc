#include "launcher.h"

int main(int argc, char **argv) { return launch_main(argc, argv); }
