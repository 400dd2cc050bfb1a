#include "vrmset.h"

int main(int argc, char** argv, char** envp) { return VrmsetMain(argc, argv, envp); }
