// An embedding program for the tests: runs a script in the main interpreter,
// in a sub-interpreter and in the main one again, finalises the runtime, and
// does it all again for the number of rounds asked for. The script imports
// and uses the module, so every interpreter and every initialisation must get
// a working one.
//
//   reinit ROUNDS SCRIPT       exit status 0 when every run succeeded

#include <Python.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s ROUNDS SCRIPT\n", argv[0]);
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  const char* script = argv[2];
  for (int round = 0; round < rounds; ++round) {
    Py_Initialize();
    PyThreadState* main_thread = PyThreadState_Get();
    if (PyRun_SimpleString(script) != 0) return 1;
    PyThreadState* sub = Py_NewInterpreter();
    if (sub == nullptr) return 1;
    const int sub_status = PyRun_SimpleString(script);
    Py_EndInterpreter(sub);
    PyThreadState_Swap(main_thread);
    if (sub_status != 0 || PyRun_SimpleString(script) != 0) return 1;
    if (Py_FinalizeEx() != 0) return 1;
  }
  return 0;
}
