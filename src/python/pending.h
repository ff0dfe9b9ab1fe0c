// The private functions by which the Python signer writes through the file
// layer: new files kept private until it commits them (the type Pending),
// digests of whole files, and the removal of named temporaries for its own
// signal handlers. The module installs no handlers itself.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tarnwick::python {

PyMethodDef* pending_functions();

// The type lives in the module's state, after the file types' (at
// file_state_size()).
std::size_t pending_state_size();
// Creates the type and sets it as the attribute Pending; -1 with an exception.
int add_pending_type(PyObject* module);
int traverse_pending_type(PyObject* module, visitproc visit, void* arg);
int clear_pending_type(PyObject* module);

}  // namespace tarnwick::python
