// Binds the symbols that glibc 2.32 to 2.36 gave new versions to the versions
// glibc 2.28 already has, so that the wheel's module and program, built on a
// newer glibc, load on any glibc from 2.28 on (the manylinux_2_28 tag).
//
// Built only with TARNWICK_PORTABLE on x86-64 glibc. The linker's --wrap
// (CMakeLists.txt, TARNWICK_GLIBC_WRAP) sends every reference to these names,
// in our objects and in the static libcrypto and libstdc++ alike, to the
// __wrap_ functions here; each calls the old version, which newer glibc still
// exports for old programs, and which is the same function there:
// - pthread_* and dl* moved from libpthread and libdl into libc in 2.34 and
//   got a GLIBC_2.34 version there; the GLIBC_2.2.5 versions are in libc
//   from 2.34 on, in libpthread.so.0 and libdl.so.2 before (both are linked,
//   so the loader finds them there on an older glibc);
// - pthread_sigmask got GLIBC_2.32 when it moved;
// - stat, fstat, lstat and fstatat (and their ...64 names) are libc
//   functions only from 2.33 on;
//   before, the headers turned them into __xstat and friends, which every
//   glibc still has;
// - arc4random (2.36) is what the static libstdc++'s std::random_device
//   draws from (tarnwick never makes one, but the object that holds it comes
//   along); getrandom (2.25) gives the same bytes;
// - __libc_single_threaded (2.32) is a variable libstdc++'s inline code
//   reads to skip atomic operations; a hidden one of our own, always 0
//   ("there may be threads"), keeps every operation atomic.
// The program's own entry point, __libc_start_main, is in
// glibc_2_28_start.cpp.

#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#if !defined(__x86_64__) || !defined(__GLIBC__)
#error "the glibc 2.28 compatibility layer is for x86-64 glibc only"
#endif

// __wrap_NAME: a jump to NAME@VERSION, whatever NAME's arguments.
#define TARNWICK_OLD_VERSION(name, version)                        \
  __asm__(".symver tarnwick_old_" #name ", " #name "@" version "\n" \
          ".pushsection .text\n"                                   \
          ".globl __wrap_" #name "\n"                               \
          ".hidden __wrap_" #name "\n"                              \
          ".type __wrap_" #name ", @function\n"                     \
          "__wrap_" #name ":\n"                                     \
          "  jmp tarnwick_old_" #name "@PLT\n"                      \
          ".size __wrap_" #name ", . - __wrap_" #name "\n"          \
          ".popsection\n");

TARNWICK_OLD_VERSION(pthread_sigmask, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_once, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_key_create, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(__pthread_key_create, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_key_delete, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_getspecific, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_setspecific, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_rwlock_init, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_rwlock_destroy, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_rwlock_rdlock, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_rwlock_wrlock, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_rwlock_unlock, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_create, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_detach, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(pthread_join, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(dlopen, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(dlclose, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(dlsym, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(dlerror, "GLIBC_2.2.5")
TARNWICK_OLD_VERSION(dladdr, "GLIBC_2.2.5")

extern "C" {

// The stat family through the functions the headers of glibc < 2.33 called;
// 1 is _STAT_VER_LINUX, the x86-64 struct stat.
int tarnwick_old___xstat(int, const char*, struct stat*);
int tarnwick_old___lxstat(int, const char*, struct stat*);
int tarnwick_old___fxstat(int, int, struct stat*);
int tarnwick_old___fxstatat(int, int, const char*, struct stat*, int);
__asm__(".symver tarnwick_old___xstat, __xstat@GLIBC_2.2.5");
__asm__(".symver tarnwick_old___lxstat, __lxstat@GLIBC_2.2.5");
__asm__(".symver tarnwick_old___fxstat, __fxstat@GLIBC_2.2.5");
__asm__(".symver tarnwick_old___fxstatat, __fxstatat@GLIBC_2.4");

__attribute__((visibility("hidden"))) int __wrap_stat(const char* path, struct stat* buf) {
  return tarnwick_old___xstat(1, path, buf);
}
__attribute__((visibility("hidden"))) int __wrap_lstat(const char* path, struct stat* buf) {
  return tarnwick_old___lxstat(1, path, buf);
}
__attribute__((visibility("hidden"))) int __wrap_fstat(int fd, struct stat* buf) {
  return tarnwick_old___fxstat(1, fd, buf);
}
__attribute__((visibility("hidden"))) int __wrap_fstatat(int dirfd, const char* path, struct stat* buf,
                                                         int flags) {
  return tarnwick_old___fxstatat(1, dirfd, path, buf, flags);
}

// The same under their large-file names, which code built with
// _FILE_OFFSET_BITS=64 (as Python's headers set it) calls; on x86-64 the
// two structs are one.
__attribute__((visibility("hidden"))) int __wrap_stat64(const char* path, struct stat* buf) {
  return tarnwick_old___xstat(1, path, buf);
}
__attribute__((visibility("hidden"))) int __wrap_lstat64(const char* path, struct stat* buf) {
  return tarnwick_old___lxstat(1, path, buf);
}
__attribute__((visibility("hidden"))) int __wrap_fstat64(int fd, struct stat* buf) {
  return tarnwick_old___fxstat(1, fd, buf);
}
__attribute__((visibility("hidden"))) int __wrap_fstatat64(int dirfd, const char* path, struct stat* buf,
                                                           int flags) {
  return tarnwick_old___fxstatat(1, dirfd, path, buf, flags);
}

__attribute__((visibility("hidden"))) std::uint32_t __wrap_arc4random() {
  std::uint32_t value;
  ssize_t got;
  while ((got = getrandom(&value, sizeof value, 0)) != static_cast<ssize_t>(sizeof value)) {
    if (got < 0 && errno != EINTR) std::abort();  // as arc4random: it cannot fail
  }
  return value;
}

// Never "single-threaded": libstdc++ then always uses atomic operations.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

}  // extern "C"
