// The entry point of the gorva program.
#include "app/run.h"

int main(int argc, char** argv) { return runGorva(argc, argv); }
