// Models read from a server: the container's metadata through range
// requests the caller makes (_inspect_remote), and the data hash of bytes
// as they arrive (_StreamHash). No Python in the parsing or hashing; the
// network stays in Python.
#pragma once

#include <Python.h>

namespace tarnwick::python {

PyMethodDef* remote_functions();
// Creates the type _StreamHash and sets it as a module attribute; -1 with an
// exception.
int add_remote_type(PyObject* module);

}  // namespace tarnwick::python
