#include "python/python_arguments.h"

#include <climits>
#include <cmath>

#include "io/option_values.h"
#include "python/search_errors.h"

namespace py = pybind11;

namespace {

std::string typeName(const py::handle& value) {
  return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

// Ints and NumPy integers, which Python indexes with; not True and False,
// nor NumPy's booleans (which still index, with a warning).
bool isIntegerArgument(const py::handle& value) {
  if (!PyIndex_Check(value.ptr()) || PyBool_Check(value.ptr())) return false;
  const py::handle numpy_bool = py::module_::import("numpy").attr("bool_");
  return !py::isinstance(value, numpy_bool);
}

}  // namespace

std::string spelledArgument(const char* name, const py::handle& value) {
  return std::string(name) + "=" + py::repr(value).cast<std::string>();
}

bool isSequenceArgument(const py::handle& value) {
  return PySequence_Check(value.ptr()) && !PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr()) &&
         !PyByteArray_Check(value.ptr());
}

long long integerArgument(const std::string& spelled, const py::handle& value, const std::string& range) {
  if (!isIntegerArgument(value)) throw py::type_error(spelled + ": " + range + " (an int, not " + typeName(value) + ")");
  const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
  return result;
}

long long wholeArgument(const char* name, const py::handle& value, long long low, long long high) {
  const std::string spelled = spelledArgument(name, value);
  const std::string range = wholeNumberRange(low, high);
  const long long number = integerArgument(spelled, value, range);
  if (number < low || number > high) throw BadSearchInput(spelled + ": " + range);
  return number;
}

double realArgument(const char* name, const py::handle& value) {
  const bool numpy_real = py::isinstance(value, py::module_::import("numpy").attr("floating"));
  if (!(PyFloat_Check(value.ptr()) || numpy_real || isIntegerArgument(value))) {
    throw py::type_error(spelledArgument(name, value) + ": not a number (" + typeName(value) + ")");
  }
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (!std::isfinite(number)) throw BadSearchInput(spelledArgument(name, value) + ": not a finite number");
  return number;
}

std::string wordArgument(const char* name, const py::handle& value) {
  if (!PyUnicode_Check(value.ptr())) {
    throw py::type_error(spelledArgument(name, value) + ": a str, not " + typeName(value));
  }
  return value.cast<std::string>();
}

std::string pathArgument(const char* name, const py::handle& value) {
  const bool path_like = PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
                         py::hasattr(value, "__fspath__");
  if (!path_like) {
    throw py::type_error(spelledArgument(name, value) + ": a file name (str, bytes or os.PathLike), not " +
                         typeName(value));
  }
  const py::bytes encoded = py::module_::import("os").attr("fsencode")(value);
  const std::string path = encoded;
  // As the program refuses an option given an empty value: an unset
  // variable, not a choice (read_plink would take the .fam's phenotypes).
  if (path.empty()) throw BadSearchInput(spelledArgument(name, value) + ": an empty file name");
  if (path.find('\0') != std::string::npos) {
    throw BadSearchInput(spelledArgument(name, value) + ": holds a NUL character, which would cut the file name there");
  }
  return path;
}

std::vector<std::string> nameArguments(const char* name, const py::handle& value) {
  if (!isSequenceArgument(value)) {
    throw py::type_error(spelledArgument(name, value) + ": a sequence of str names, not " + typeName(value));
  }
  std::vector<std::string> names;
  const auto sequence = py::reinterpret_borrow<py::sequence>(value);
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    const py::object item = sequence[i];
    if (!PyUnicode_Check(item.ptr())) {
      throw py::type_error(std::string(name) + "[" + std::to_string(i) + "]=" + py::repr(item).cast<std::string>() +
                           ": a name is a str, not " + typeName(item));
    }
    names.push_back(item.cast<std::string>());
  }
  return names;
}
