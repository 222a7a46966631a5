#include "cli/driver.h"

int main(const int argc, char* argv[]) { return RunHaltctl(argc, argv); }
