// The file functions and the result types they return (ModelInfo,
// FileResult, BindingCheck). They are module attributes, not in __all__.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tarnwick::python {

// The functions' table, for PyModule_AddFunctions.
PyMethodDef* file_functions();

// The result types live in the module's state, one set per module object.
std::size_t file_state_size();
// Creates the types and sets them as module attributes; -1 with an exception.
int add_file_types(PyObject* module);
int traverse_file_types(PyObject* module, visitproc visit, void* arg);
int clear_file_types(PyObject* module);

}  // namespace tarnwick::python
