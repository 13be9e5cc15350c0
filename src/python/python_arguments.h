// Python arguments read as strictly as the program reads its options: a
// number is an int (or a NumPy integer) within its range, a word is a str,
// names are strs; anything else is refused before any work, a TypeError for
// the wrong type and a ValueError for a value out of range, each naming the
// argument as the caller wrote it ("order='2'").
#ifndef GORVA_PYTHON_PYTHON_ARGUMENTS_H
#define GORVA_PYTHON_PYTHON_ARGUMENTS_H

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

// "name=repr(value)".
std::string spelledArgument(const char* name, const pybind11::handle& value);

// Whether `value` is a list, tuple or other sequence, but not a string.
bool isSequenceArgument(const pybind11::handle& value);

// The value of an int argument, clamped to long long's range so that a
// range check still refuses it. TypeError "SPELLED: RANGE (an int, not
// TYPE)" for a bool, float, str or anything else.
long long integerArgument(const std::string& spelled, const pybind11::handle& value,
                          const std::string& range);

// An int in [low, high]; a ValueError "NAME=VALUE: not a whole number from
// LOW to HIGH" outside it.
long long wholeArgument(const char* name, const pybind11::handle& value, long long low, long long high);

// A finite real number (an int, a float or a NumPy floating value; not a
// bool or a str).
double realArgument(const char* name, const pybind11::handle& value);

// A str argument's text.
std::string wordArgument(const char* name, const pybind11::handle& value);

// A file name: a str, bytes or any os.PathLike (a pathlib.Path). A name
// holding a NUL character is refused (ValueError): the file system would
// read it cut there, as the name of another file; so is an empty name.
std::string pathArgument(const char* name, const pybind11::handle& value);

// A sequence of strs, each named by its position when it is not one.
std::vector<std::string> nameArguments(const char* name, const pybind11::handle& value);

#endif  // GORVA_PYTHON_PYTHON_ARGUMENTS_H
