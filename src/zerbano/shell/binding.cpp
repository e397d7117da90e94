// Binding of a single parameter P of function F, by position or as the keyword P:
//   F(x) and F(P=x) bind x; any other positional count, an unknown keyword, P given twice, or
//   a keyword name that is not a string raises TypeError with the interpreter's wording.
#include "shell/binding.hpp"

#include "shell/messages.hpp"

namespace zerbano {

namespace {

void raise_positional_count(const char* function_name, Py_ssize_t given) noexcept
{
    PyErr_Format(PyExc_TypeError, messages::positional_count, function_name,
                 messages::positional_count_exactly, Py_ssize_t{1}, "", given);
}

bool names_parameter(PyObject* keyword, PyObject* parameter) noexcept
{
    // The interned name itself is the common case; otherwise compare as strings, so that a str
    // subclass with an odd __eq__ cannot change the binding.
    return keyword == parameter || PyUnicode_Compare(keyword, parameter) == 0;
}

}  // namespace

PyObject* bind_single_argument(const char* function_name, PyObject* parameter,
                               PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept
{
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywords == 0) {
        if (positional == 1)
            return args[0];
        raise_positional_count(function_name, positional);
        return nullptr;
    }
    if (positional > 1) {
        raise_positional_count(function_name, positional);
        return nullptr;
    }

    PyObject* bound = positional == 1 ? args[0] : nullptr;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, messages::keywords_not_strings, function_name);
            return nullptr;
        }
        if (!names_parameter(keyword, parameter)) {
            PyErr_Format(PyExc_TypeError, messages::unexpected_keyword, function_name, keyword);
            return nullptr;
        }
        if (bound) {
            PyErr_Format(PyExc_TypeError, messages::multiple_values, function_name, keyword);
            return nullptr;
        }
        bound = args[positional + i];
    }
    if (!bound)
        raise_positional_count(function_name, 0);
    return bound;
}

}  // namespace zerbano
