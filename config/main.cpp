// SetQuillet's entry.
#include "config/setquillet.h"

int main(int argc, char** argv) { return RunSetQuillet(argc, argv); }
