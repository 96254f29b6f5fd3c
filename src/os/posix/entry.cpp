// The Linux entry: arguments are UTF-8 already.
#include "app/G_APP.h"

int main(int argc, char** argv) { return zef_main(argc, argv); }
