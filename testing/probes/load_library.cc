// Loads the shared library named on the command line, as an application
// would, and exits: what it prints is what loading the library prints.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* handle = dlopen(argv[1], RTLD_NOW);
  if (handle == nullptr) {
    fprintf(stdout, "%s\n", dlerror());
    return 1;
  }
  return 0;
}
