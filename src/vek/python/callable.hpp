// The row behind every function, method, getter and constructor: its name,
// its parameters as the docstring writes them ("x_data, y_data,
// max_complexity=8"; a "*" makes the ones after it keyword-only), its
// docstring body and its implementation. From the row the templates here
// derive the argument parser (the parameters with a default optional), the
// docstring "name(params)\n--\n\nbody" (the interpreter's __text_signature__
// is the part before "--") and the PyMethodDef, PyGetSetDef or tp_new entry.
//
// An implementation is a native callable: a function, a captureless lambda,
// or a member function or field of the class's record (which a method or
// getter receives first). Its parameters are converted in order by
// from_py_arg (a TypeError names the parameter; a parameter not given
// converts its default, a None default to an empty std::optional), its
// result by to_py (a PyObject* is passed on as is). Parsing, conversion,
// work and result all run inside guarded(): a native failure becomes the
// matching Python exception, memory exhaustion a MemoryError.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "vek/python/args.hpp"
#include "vek/python/errors.hpp"
#include "vek/python/from_py.hpp"
#include "vek/python/to_py.hpp"
#include "vek/python/types.hpp"

namespace vek::py {

// ---- parsing ---------------------------------------------------------------

template <class T>
bool convert_arg(const Signature& spec, Py_ssize_t i, PyObject* const* given, T& out) {
  PyObject* o = given[i] != nullptr ? given[i] : default_value(spec, i);  // parsing left no required one out
  return o != nullptr && from_py_arg(o, out, spec.names[i]);
}

// Parses a call of `spec` and converts its arguments into `out...` in order.
template <class... Out>
bool parse(const Signature& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Out&... out) {
  PyObject* given[sizeof...(Out) + 1];
  Py_ssize_t i = 0;
  return parse_fast(spec, args, nargs, kwnames, given) && (convert_arg(spec, i++, given, out) && ...);
}

// The same for the tuple/dict convention of constructors.
template <class... Out>
bool parse(const Signature& spec, PyObject* args, PyObject* kwargs, Out&... out) {
  PyObject* given[sizeof...(Out) + 1];
  Py_ssize_t i = 0;
  return parse_tuple(spec, args, kwargs, given) && (convert_arg(spec, i++, given, out) && ...);
}

// ---- compile-time text -----------------------------------------------------

template <std::size_t N>
struct Text {
  char s[N]{};
  static constexpr std::size_t size = N - 1;
  constexpr Text() = default;
  constexpr Text(const char (&t)[N]) { std::copy_n(t, N, s); }
};

template <std::size_t... N>
constexpr auto join(const Text<N>&... parts) {
  Text<(N + ...) - sizeof...(N) + 1> out;
  char* p = out.s;
  ((p = std::copy_n(parts.s, N - 1, p)), ...);
  return out;
}

// A parameter list "a, b=1.0, *, c=True" split into names and default
// texts; the "*" (not a parameter) makes the ones after it keyword-only.
template <Text Params>
struct ParamList {
  static constexpr std::size_t n = Params.size;
  static constexpr std::size_t entries = n == 0 ? 0 : std::count(Params.s, Params.s + n, ',') + 1;
  static constexpr std::size_t count = entries - std::count(Params.s, Params.s + n, '*');
  static constexpr auto ended = [] {  // every ',' and '=' a terminator
    auto t = Params;
    for (char& c : t.s) c = c == ',' || c == '=' ? '\0' : c;
    return t;
  }();
  struct Split {
    std::array<const char*, count> names{}, defaults{};
    std::size_t positional = count;
  };
  static constexpr Split split = [] {
    Split out;
    std::size_t k = 0, i = 0;
    for (std::size_t e = 0; e < entries; ++e, ++k) {
      while (Params.s[k] == ' ') ++k;
      if (Params.s[k] == '*') {
        out.positional = i;
        ++k;
        continue;
      }
      out.names[i] = ended.s + k;
      while (k < n && Params.s[k] != ',' && Params.s[k] != '=') ++k;
      if (k < n && Params.s[k] == '=') {
        out.defaults[i] = ended.s + k + 1;
        while (k < n && Params.s[k] != ',') ++k;
      }
      ++i;
    }
    return out;
  }();
};

// ---- rows ------------------------------------------------------------------

// The native parameters of an implementation, as a tuple of values; a
// member function or field takes its record first.
template <class F>
struct Native : Native<decltype(+std::declval<F>())> {};  // a lambda, as its function
template <class R, class... A>
struct Native<R (*)(A...)> {
  using type = std::tuple<std::decay_t<A>...>;
};
template <class R, class C, class... A>
struct Native<R (C::*)(A...) const> {
  using type = std::tuple<C, std::decay_t<A>...>;
};
template <class R, class C>
struct Native<R C::*> {
  using type = std::tuple<C>;
};

// The parsed ones: all, or all but the receiver's record.
template <bool Method, class T>
struct Parsed {
  using type = T;
};
template <class H, class... T>
struct Parsed<true, std::tuple<H, T...>> {
  using type = std::tuple<T...>;
};

// Calls Impl with the receiver's record (methods) and the values; to_py of the result.
template <auto Impl, class Record, class Values>
PyObject* call(PyObject* self, Values& values) {
  return std::apply(
      [&](auto&... v) {
        if constexpr (std::is_void_v<Record>) {
          return to_py(std::invoke(Impl, std::move(v)...));
        } else {
          return to_py(std::invoke(Impl, unbox<Record>(self), std::move(v)...));
        }
      },
      values);
}

template <const Signature& S, auto Impl, class Record, class Values>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Values values;
    if (!std::apply([&](auto&... out) { return parse(S, args, nargs, kwnames, out...); }, values)) return nullptr;
    return call<Impl, Record>(self, values);
  });
}

template <auto Impl, class Record>
PyObject* noargs_entry(PyObject* self, PyObject*) {
  return guarded([&] {
    std::tuple<> none;
    return call<Impl, Record>(self, none);
  });
}

// A function or method named Name of class Cls ("" at module level); Record
// is the receiver's record type for instance methods, void otherwise.
template <Text Cls, Text Name, Text Params, Text Body, class Record>
struct Row {
  using P = ParamList<Params>;
  static constexpr Signature sig{Name.s,
                                 Cls.size == 0 ? nullptr : Cls.s,
                                 P::split.names.data(),
                                 P::count,
                                 P::split.positional,
                                 P::split.defaults.data()};
  static constexpr auto open() {
    if constexpr (std::is_void_v<Record>) {
      return Text("(");
    } else if constexpr (Params.size == 0) {
      return Text("($self");
    } else {
      return Text("($self, ");
    }
  }
  static constexpr auto doc = join(Name, open(), Params, Text(")\n--\n\n"), Body);

  template <auto Impl>
  static PyMethodDef def(int flags) {
    using Values = typename Parsed<!std::is_void_v<Record>, typename Native<decltype(Impl)>::type>::type;
    static_assert(std::tuple_size_v<Values> == P::count, "the row names every native parameter");
    if constexpr (P::count == 0) {
      return {Name.s, noargs_entry<Impl, Record>, METH_NOARGS | flags, doc.s};
    } else {
      return {Name.s, fast(fast_entry<sig, Impl, Record, Values>), kFast | flags, doc.s};
    }
  }
};

// A module-level function.
template <Text Name, Text Params, auto Impl, Text Body = "">
PyMethodDef function() {
  return Row<"", Name, Params, Body, void>::template def<Impl>(0);
}

// The rows of class Name holding a T; NewParams are the constructor's
// parameters (none: the docstring is the body alone).
template <Text Name, class T, Text NewParams = "", Text Body = "">
struct Class {
  template <Text M, Text Params, auto Impl, Text Doc = "">
  static PyMethodDef method() {
    return Row<Name, M, Params, Doc, T>::template def<Impl>(0);
  }
  template <Text M, Text Params, auto Impl, Text Doc = "">
  static PyMethodDef static_method() {
    return Row<Name, M, Params, Doc, void>::template def<Impl>(METH_STATIC);
  }

  template <auto Impl>
  static PyObject* get(PyObject* self, void*) {
    return guarded([&] { return to_py(std::invoke(Impl, unbox<T>(self))); });
  }
  template <Text M, auto Impl>
  static PyGetSetDef getter() {
    return {M.s, get<Impl>, nullptr, nullptr, nullptr};
  }

  // tp_new: the record Impl makes from the constructor's parameters.
  template <auto Impl>
  static PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    using New = Row<Name, "__new__", NewParams, "", void>;
    return guarded([&]() -> PyObject* {
      typename Native<decltype(Impl)>::type values;
      if (!std::apply([&](auto&... out) { return parse(New::sig, args, kwargs, out...); }, values)) return nullptr;
      return box(type, std::apply(Impl, std::move(values)));
    });
  }

  static constexpr auto doc() {
    if constexpr (NewParams.size == 0) {
      return Body;
    } else {
      return join(Name, Text("("), NewParams, Text(")\n--\n\n"), Body);
    }
  }
  static constexpr auto docstring = doc();
  static constexpr auto qualified = join(Text("vek_core."), Name);
  static constexpr ClassRecord record(PyType_Slot* slots) {
    return {qualified.s, docstring.s, static_cast<int>(sizeof(Boxed<T>)), slots};
  }
};

// One name the module exports: a function, or a class made on first use.
struct Export {
  PyMethodDef function{};
  PyTypeObject* (*type)() = nullptr;
  Export(PyMethodDef f) : function(f) {}
  Export(PyTypeObject* (*t)()) : type(t) {}
};

}  // namespace vek::py
