// Sealed copies: a file's bytes copied once into anonymous memory that no
// one, its owner included, can change afterwards (_seal_copy), and the same
// for bytes that arrive in pieces (_SealWriter), each hashed as it is copied.
// What tarnwick.open_verified judges and hands to the loaders.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace tarnwick::python {

PyMethodDef* sealed_functions();
// Creates the type _SealWriter and sets it as a module attribute; -1 with an
// exception.
int add_sealed_type(PyObject* module);

// The bytes of memory new sealed copies may take now: what the system (and
// this process's memory cgroup) has available, less a margin; nothing when
// it cannot be told.
std::optional<std::uint64_t> memory_room();

}  // namespace tarnwick::python
