#include "python/convert.h"

namespace tarnwick::python {

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const int positional = sig.positional < 0 ? sig.count : sig.positional;
  const int required = sig.required < 0 ? sig.count : sig.required;
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  const Py_ssize_t npos = PyTuple_Size(args);
  if (npos < 0) return false;
  if (npos > positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd were given",
                 sig.function, positional, positional == 1 ? "" : "s", npos);
    return false;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t it = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &it, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
        return false;
      }
      int index = -1;
      for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
          index = i;
          break;
        }
      }
      if (PyErr_Occurred()) return false;
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     sig.function, key);
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                     sig.params[index]);
        return false;
      }
      out[index] = value;
    }
  }
  for (int i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", sig.function,
                   sig.params[i], i + 1);
      return false;
    }
  }
  return true;
}

bool wrong_type(const char* function, const char* param, const char* expected, PyObject* obj) {
  PyObject* type = PyObject_Type(obj);
  PyObject* name = type ? PyObject_GetAttrString(type, "__name__") : nullptr;
  Py_DecRef(type);
  if (name == nullptr) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s", function, param, expected);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %S", function, param,
                 expected, name);
    Py_DecRef(name);
  }
  return false;
}

bool bytes_view(const char* function, const char* param, PyObject* obj, ByteView* out) {
  if (!PyBytes_Check(obj)) return wrong_type(function, param, "bytes", obj);
  char* data = PyBytes_AsString(obj);
  if (data == nullptr) return false;
  const Py_ssize_t size = PyBytes_Size(obj);
  if (size < 0) return false;
  *out = ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
  return true;
}

bool utf8_text(const char* function, const char* param, PyObject* obj, std::string* out) {
  if (!PyUnicode_Check(obj)) return wrong_type(function, param, "str", obj);
  PyObject* encoded = PyUnicode_AsUTF8String(obj);
  if (encoded == nullptr) return false;
  const char* data = PyBytes_AsString(encoded);
  const Py_ssize_t size = PyBytes_Size(encoded);
  if (data == nullptr || size < 0) {
    Py_DecRef(encoded);
    return false;
  }
  out->assign(data, static_cast<std::size_t>(size));
  Py_DecRef(encoded);
  return true;
}

PyObject* raise_error(const Error& error) {
  const std::string message = error.message();
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DecRef(text);
  return nullptr;
}

PyObject* bytes_from(ByteView bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* str_from(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* none() {
  Py_IncRef(Py_None);
  return Py_None;
}

}  // namespace tarnwick::python
