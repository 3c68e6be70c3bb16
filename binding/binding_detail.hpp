#pragma once
// The call machinery behind binding.hpp: argument holders, result
// conversion and the thunks that run a declared callable at the boundary of
// a call. Included by binding.hpp only.

namespace cy::detail {

template <class T>
using value_t = std::remove_cv_t<std::remove_reference_t<T>>;

template <class F>
struct signature_of : signature_of<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct signature_of<R (C::*)(A...) const> {
  using result = R;
  using args = std::tuple<A...>;
};
template <class C, class R, class... A>
struct signature_of<R (C::*)(A...)> : signature_of<R (C::*)(A...) const> {};
template <class R, class... A>
struct signature_of<R (*)(A...)> {
  using result = R;
  using args = std::tuple<A...>;
};

// How an argument takes part in the order of checks: converted (phase 2),
// type-tested (phase 3), and prepared at the start of the body.
struct ArgBase {
  static constexpr int phase = 2;
  bool prepare(PyObject*, const std::string&) { return true; }
  // Whether a failed conversion was the argument-type rule's (no traceback entry).
  bool failed_type_rule() const { return false; }
  // Appends the binding objects a constructed engine object will point into.
  void retain(std::vector<PyObject*>&) const {}
  // Whether retain() may append anything.
  static constexpr bool retains = false;
};

template <>
struct Arg<Int> : ArgBase {
  static std::string declared() { return "int"; }
  Int value;
  bool convert(PyObject* o, const std::string& name) {
    int v;
    if (!convert_int(o, v)) return false;
    value = Int(v, &name);
    return true;
  }
  const Int& get() const { return value; }
};

template <>
struct Arg<double> : ArgBase {
  static std::string declared() { return "double"; }
  double value = 0.0;
  bool convert(PyObject* o, const std::string&) { return convert_double(o, value); }
  double get() const { return value; }
};

template <>
struct Arg<std::complex<double>> : ArgBase {
  static std::string declared() { return "double complex"; }
  std::complex<double> value;
  bool convert(PyObject* o, const std::string&) { return convert_complex(o, value); }
  const std::complex<double>& get() const { return value; }
};

template <>
struct Arg<bool> : ArgBase {
  static std::string declared() { return "bool"; }
  bool value = false;
  bool convert(PyObject* o, const std::string&) { return convert_bool(o, value); }
  bool get() const { return value; }
};

template <>
struct Arg<std::string> : ArgBase {
  static std::string declared() { return "string"; }
  std::string value;
  bool convert(PyObject* o, const std::string&) { return convert_string(o, value); }
  const std::string& get() const { return value; }
};

template <>
struct Arg<ExactStr> : ArgBase {
  static std::string declared() { return "str"; }
  ExactStr value;
  bool wrong_type = false;
  bool convert(PyObject* o, const std::string& name) {
    wrong_type = Py_TYPE(o) != &PyUnicode_Type;
    return convert_exact_str(o, name, value.bytes);
  }
  bool failed_type_rule() const { return wrong_type; }
  const ExactStr& get() const { return value; }
};

template <class T>
struct BufferItem;
template <>
struct BufferItem<int> {
  static_assert(sizeof(int) == 4, "int[::1] buffers hold 32-bit integers");
  static constexpr ItemSpec spec{"int", ItemKind::signed_int, sizeof(int)};
  static constexpr const char* declared = "int[::1]";
};
template <>
struct BufferItem<double> {
  static constexpr ItemSpec spec{"double", ItemKind::real, sizeof(double)};
  static constexpr const char* declared = "double[::1]";
};
template <>
struct BufferItem<std::complex<double>> {
  static constexpr ItemSpec spec{"double complex", ItemKind::complex, sizeof(std::complex<double>)};
  static constexpr const char* declared = "double complex[::1]";
};

// Acquires a buffer argument into its holder.
struct BufferArg : ArgBase {
  static bool acquire(HeldBuffer& holder, PyObject* o, const ItemSpec& item, const std::string& name) {
    holder.name_ = &name;
    return acquire_argument_buffer(o, item, holder.view_, holder.held_);
  }
};

template <class T>
struct Arg<Buffer<T>> : BufferArg {
  static std::string declared() { return BufferItem<T>::declared; }
  Buffer<T> value;
  bool convert(PyObject* o, const std::string& name) { return acquire(value, o, BufferItem<T>::spec, name); }
  const Buffer<T>& get() const { return value; }
};

template <class Engine, TypeId Id>
struct Arg<Items<Engine, Id>> : BufferArg {
  static std::string declared() { return std::string(row(Id).name) + "[::1]"; }
  Items<Engine, Id> value;
  bool convert(PyObject* o, const std::string& name) {
    return acquire(value, o, ItemSpec{row(Id).name, ItemKind::object, sizeof(PyObject*)}, name);
  }
  const Items<Engine, Id>& get() const { return value; }
  static constexpr bool retains = true;
  void retain(std::vector<PyObject*>& out) const { out.insert(out.end(), value.taken_.begin(), value.taken_.end()); }
};

template <class Engine, TypeId Id>
struct Arg<Ref<Engine, Id>> : ArgBase {
  static constexpr int phase = 3;
  static std::string declared() { return row(Id).name; }
  bool failed_type_rule() const { return true; }
  Ref<Engine, Id> value;
  bool convert(PyObject* o, const std::string& name) { return check_argument_type(o, type_object(Id), name); }
  bool prepare(PyObject* o, const std::string& name) {
    value.engine_ = static_cast<Engine*>(argument_engine(o, name));
    value.object_ = o;
    return true;
  }
  const Ref<Engine, Id>& get() const { return value; }
  static constexpr bool retains = true;
  void retain(std::vector<PyObject*>& out) const { out.push_back(value.object_); }
};

template <>
struct Arg<Pairs> : ArgBase {
  static constexpr int phase = 4;  // converted by the body, after the type tests
  static std::string declared() { return ""; }
  Pairs value;
  bool convert(PyObject*, const std::string&) { return true; }
  bool prepare(PyObject* o, const std::string& name) {
    value.name_ = &name;
    return convert_pairs(o, value.pairs_);
  }
  const Pairs& get() const { return value; }
};

template <class A>
std::string declared() {
  return Arg<value_t<A>>::declared();
}

template <class... A>
constexpr bool any_retains() {
  return (false || ... || Arg<value_t<A>>::retains);
}

// --- results -------------------------------------------------------------

inline PyObject* to_python(const std::complex<double>& v) { return PyComplex_FromDoubles(v.real(), v.imag()); }
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(int v) { return PyLong_FromLong(v); }
inline PyObject* to_python(const std::vector<int>& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyLong_FromLong(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

inline PyObject* tuple_of(PyObject* first, PyObject* second) {
  PyObject* tuple = first != nullptr && second != nullptr ? PyTuple_Pack(2, first, second) : nullptr;
  Py_XDECREF(first);
  Py_XDECREF(second);
  return tuple;
}

template <class A, class B>
PyObject* to_python(const std::pair<A, B>& pair) {
  PyObject* first = to_python(pair.first);
  PyObject* second = first != nullptr ? to_python(pair.second) : nullptr;
  return tuple_of(first, second);
}

template <class T>
constexpr ResultDtype dtype_of = std::is_same_v<T, double> ? ResultDtype::float64 : ResultDtype::complex128;

template <class T, class Fill>
PyObject* to_python(const ArrayResult<T, Fill>& r) {
  ResultArray array;
  if (!array.make(r.size, dtype_of<T>, r.written)) return nullptr;
  r.fill(static_cast<T*>(array.data()));
  return array.release();
}

template <class T, class Fill>
PyObject* to_python(const ArrayPairResult<T, Fill>& r) {
  ResultArray first, second;
  if (!first.make(r.size1, dtype_of<T>, r.size1) || !second.make(r.size2, dtype_of<T>, r.size2)) return nullptr;
  r.fill(static_cast<T*>(first.data()), static_cast<T*>(second.data()));
  PyObject* a = first.release();
  return tuple_of(a, second.release());
}

template <class Fill>
PyObject* to_python(const SquareResult<Fill>& r) {
  if (!check_square_size(r.n)) return nullptr;
  ResultArray array;
  if (!array.make(r.n * r.n, ResultDtype::float64, r.n * r.n)) return nullptr;
  r.fill(static_cast<double*>(array.data()));
  return reshape_square(array.release(), r.n);
}

// --- thunks --------------------------------------------------------------

enum class Failure { conversion, argument_type, body };

template <class... A>
struct Pack {
  std::tuple<Arg<value_t<A>>...> args;

  template <int Phase, std::size_t I>
  bool step(PyObject* const* slots, const FunctionDef& def, Failure& failure) {
    auto& arg = std::get<I>(args);
    using ArgT = std::remove_reference_t<decltype(arg)>;
    if constexpr (ArgT::phase != Phase) {
      return true;
    } else {
      if (arg.convert(slots[I], def.params[I])) return true;
      failure = arg.failed_type_rule() ? Failure::argument_type : Failure::conversion;
      return false;
    }
  }
  // Conversions in declared order, then the type tests in declared order.
  template <std::size_t... I>
  bool convert([[maybe_unused]] PyObject* const* slots, [[maybe_unused]] const FunctionDef& def,
               [[maybe_unused]] Failure& failure, std::index_sequence<I...>) {
    return (step<2, I>(slots, def, failure) && ...) && (step<3, I>(slots, def, failure) && ...);
  }
  template <std::size_t... I>
  bool prepare([[maybe_unused]] PyObject* const* slots, [[maybe_unused]] const FunctionDef& def,
               std::index_sequence<I...>) {
    return (std::get<I>(args).prepare(slots[I], def.params[I]) && ...);
  }
};

template <class R>
PyObject* result_of(R&& value) {
  return to_python(value);
}

template <class F, class P, std::size_t... I, class... Lead>
PyObject* invoke(const F& f, P& pack, std::index_sequence<I...>, Lead&... lead) {
  using R = decltype(f(lead..., std::get<I>(pack.args).get()...));
  if constexpr (std::is_void_v<R>) {
    f(lead..., std::get<I>(pack.args).get()...);
    Py_RETURN_NONE;
  } else {
    return result_of(f(lead..., std::get<I>(pack.args).get()...));
  }
}

// The boundary of one call: matches and converts the arguments in the
// order of checks, then runs `body(pack, slots)`, which reports success,
// inside the engine gate.
// Engine exceptions are translated; every failure but the argument-type
// rule's (and the argument failures of a callable without parameters) adds
// the definition's traceback entry.
template <class... A, class Body>
bool at_boundary(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  constexpr std::size_t n = sizeof...(A);
  PyObject* slots[n > 0 ? n : 1];
  if (!match_arguments(def, args, nargs, kwnames, slots)) {
    if (n > 0) add_traceback(def);
    return false;
  }
  Pack<A...> pack;
  Failure failure = Failure::body;
  bool ok = false;
  try {
    if (pack.convert(slots, def, failure, std::index_sequence_for<A...>{})) {
      failure = Failure::body;
      const EngineGate gate;
      ok = gate.entered() && body(pack, slots);
    }
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is leaving a finalising interpreter: nothing may stop it
  } catch (...) {
    translate_engine_exception();
    failure = Failure::body;
  }
  if (!ok && failure != Failure::argument_type) add_traceback(def);
  return ok;
}

// The engine object as the defining type's class, null when it is of another
// class: a Python class deriving from two binding types passes the
// function object's instance test for both, but its engine object was made
// by one of them only.
template <class Engine, class Base>
Engine* engine_of_class(Base* base) {
  if constexpr (std::is_same_v<Engine, Base>) {
    return base;
  } else {
    static_assert(std::is_polymorphic_v<Base>, "a family with several engine classes tells them apart");
    return dynamic_cast<Engine*>(base);
  }
}

// A method: `self` is an instance of the defining type (checked by the
// function object); its engine object must exist and be of the type's class.
template <class Engine, class Base, class Self, class F, class... A>
PyObject* call_method(const FunctionDef& def, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  const F& f = *static_cast<const F*>(def.payload);
  PyObject* result = nullptr;
  at_boundary<A...>(def, args, nargs, kwnames, [&](Pack<A...>& pack, PyObject* const* slots) {
    Base* base = static_cast<Base*>(engine_slot(self));
    if (base == nullptr) raise_no_engine(self);
    Engine* typed = engine_of_class<Engine>(base);
    if (typed == nullptr) raise_other_engine(self, def);
    if (!pack.prepare(slots, def, std::index_sequence_for<A...>{})) return false;
    Self& engine = static_cast<Self&>(*typed);
    result = invoke(f, pack, std::index_sequence_for<A...>{}, engine);
    return result != nullptr;
  });
  return result;
}

template <class F, class... A>
PyObject* call_function(const FunctionDef& def, PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  const F& f = *static_cast<const F*>(def.payload);
  PyObject* result = nullptr;
  at_boundary<A...>(def, args, nargs, kwnames, [&](Pack<A...>& pack, PyObject* const* slots) {
    if (!pack.prepare(slots, def, std::index_sequence_for<A...>{})) return false;
    result = invoke(f, pack, std::index_sequence_for<A...>{});
    return result != nullptr;
  });
  return result;
}

// A new tuple of the objects, or null with an exception set.
PyObject* retained_tuple(const std::vector<PyObject*>& objects);

template <class Base, class F, class... A>
void* construct(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** retained) {
  const F& f = *static_cast<const F*>(def.payload);
  Base* engine = nullptr;
  at_boundary<A...>(def, args, nargs, kwnames, [&](Pack<A...>& pack, PyObject* const* slots) {
    if (!pack.prepare(slots, def, std::index_sequence_for<A...>{})) return false;
    engine = std::apply([&](auto&... arg) { return f(arg.get()...); }, pack.args);
    std::vector<PyObject*> kept;
    try {
      std::apply([&](auto&... arg) { (arg.retain(kept), ...); }, pack.args);
    } catch (...) {
      delete engine;
      engine = nullptr;
      throw;
    }
    if (!kept.empty()) {
      *retained = retained_tuple(kept);
      if (*retained == nullptr) {
        delete engine;
        engine = nullptr;
        return false;
      }
    }
    return true;
  });
  return static_cast<void*>(engine);
}

template <class Base, class F>
void* construct_ignoring(const FunctionDef& def, PyObject* const*, Py_ssize_t, PyObject*, PyObject**) {
  const F& f = *static_cast<const F*>(def.payload);
  try {
    const EngineGate gate;
    if (gate.entered()) {
      Base* engine = f();
      return static_cast<void*>(engine);
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    translate_engine_exception();
  }
  add_traceback(def);
  return nullptr;
}

template <std::size_t N, class F, class... A>
int add_module_function(const char* name, std::vector<std::string> params, F f, int line, const char* file,
                        std::tuple<A...>*) {
  static_assert(N == sizeof...(A), "one name per parameter");
  FunctionDef* def = new_function_def(-1, name, params, {declared<A>()...}, file, line);
  def->call = &call_function<F, A...>;
  def->payload = new F(std::move(f));
  module_functions().push_back(def);
  return static_cast<int>(module_functions().size());
}

}  // namespace cy::detail
