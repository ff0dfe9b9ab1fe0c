// The program's entry point for glibc 2.28 (see glibc_2_28.cpp): the start
// file of glibc 2.34 and later calls __libc_start_main@GLIBC_2.34 with no
// initialiser, leaving the program's constructors to it; glibc before 2.34
// has only the GLIBC_2.2.5 version, which runs constructors only through the
// initialiser it is given. So the program passes one that does what the
// newer glibc does (DT_INIT, then DT_INIT_ARRAY), and both versions run the
// constructors once. Destructors are the loader's on every version.

#include <features.h>

#if !defined(__x86_64__) || !defined(__GLIBC__)
#error "the glibc 2.28 compatibility layer is for x86-64 glibc only"
#endif

extern "C" {

using Main = int (*)(int, char**, char**);
using Init = void (*)(int, char**, char**);

// From the start files and the linker.
void _init();
extern __attribute__((visibility("hidden"))) const Init __init_array_start[];
extern __attribute__((visibility("hidden"))) const Init __init_array_end[];

int tarnwick_old___libc_start_main(Main, int, char**, Init, void (*)(), void (*)(), void*);
__asm__(".symver tarnwick_old___libc_start_main, __libc_start_main@GLIBC_2.2.5");

static void tarnwick_run_constructors(int argc, char** argv, char** envp) {
  _init();
  for (const Init* f = __init_array_start; f != __init_array_end; ++f) (*f)(argc, argv, envp);
}

__attribute__((visibility("hidden"))) int __wrap___libc_start_main(Main main, int argc, char** argv,
                                                                  Init init, void (*fini)(),
                                                                  void (*rtld_fini)(), void* stack_end) {
  return tarnwick_old___libc_start_main(main, argc, argv, init ? init : tarnwick_run_constructors, fini,
                                        rtld_fini, stack_end);
}

}  // extern "C"
