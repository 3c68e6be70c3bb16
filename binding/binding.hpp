#pragma once
// Declaring the module's Python types.
//
// Each type family has one source file in this directory (elements.cpp,
// buses.cpp, ...) that declares its types on top of this header; it names
// engine calls and nothing of the interpreter:
//
//   #include "binding.hpp"
//   #include "model/switch.hpp"
//   using namespace cy;
//   namespace {
//   const Family<Element> elements(FamilyId::element);  // how the family deletes
//   const auto cy_switch = elements.type<Switch>(TypeId::CySwitch)
//       .constructor({"n"}, [](Int n) { return new Switch(n); })
//       .method("get_x", {"n"}, [](Switch& self, Int n) { return self.x(n.at_most(self.port_count())); });
//   }  // namespace
//
// The parameter types of a callable declare the Python parameters, in order
// (a method's first parameter is its engine object: the type's engine class
// or one of its bases):
//   Int                     int (32-bit); converts to int
//   double, complex_d, bool double, double complex, bool
//   std::string             string (str as UTF-8, bytes or bytearray)
//   ExactStr                str, exactly
//   Buffer<int>, Buffer<double>, Buffer<complex_d>   int[::1], double[::1], double complex[::1]
//   Items<Engine, TypeId>   a buffer of objects of a binding type
//   Ref<Engine, TypeId>     an object of a binding type (never None once the callable runs)
//   Pairs                   connections: an iterable of integer pairs
// Matching, conversion, the type tests and the messages follow from these.
// Results: void (None), complex_d, double, int, std::pair of two of them,
// std::vector<int>, a pair of such vectors, and the NumPy arrays made by
// complex_array, real_array, complex_arrays and real_square_array.
// Preconditions are declared where a value is used, and fail before the
// engine is called: buffer.items(count), n.at_most(bound),
// n.at_least(bound), index.index_below(count), pairs.checked(count1, count2),
// items.take(count).
// Engine exceptions become Python exceptions by the translation table; every
// failing call gets its traceback entry.
// An object made by a constructor keeps alive the binding objects its engine
// object was built from: the objects of its Ref arguments and the items it
// took from Items arguments (the engine holds plain pointers to them).

#include <cxxabi.h>

#include <complex>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "buffer.hpp"
#include "convert.hpp"
#include "engine_gate.hpp"
#include "errors.hpp"
#include "ownership.hpp"
#include "registry.hpp"
#include "result_array.hpp"

namespace cy {

namespace detail {
template <class T>
struct Arg;
struct BufferArg;
// The generic checks behind the declared preconditions; each raises and throws PythonError.
void require_items(bool held, Py_ssize_t size, Py_ssize_t count, const std::string& name);
void require_indices(const int* data, Py_ssize_t size, int count, const std::string& name);
// A null item is refused as None is.
void* item_engine(PyObject* item, TypeId id, Py_ssize_t index, const std::string& name);
// New references to the `count` object pointers at `data` (read byte-wise,
// so the pointers need not be aligned), in place of what `held` held.
void hold_items(const void* data, Py_ssize_t count, std::vector<PyObject*>& held);
void release_items(std::vector<PyObject*>& held);
void* argument_engine(PyObject* value, const std::string& name);
[[noreturn]] void raise_no_engine(PyObject* self);
[[noreturn]] void raise_other_engine(PyObject* self, const FunctionDef& def);
}  // namespace detail

// An int argument that knows its parameter name, for the checks.
class Int {
 public:
  Int() = default;
  Int(int value, const std::string* name) : value_(value), name_(name) {}
  operator int() const { return value_; }
  int value() const { return value_; }
  // ValueError unless value <= bound (negative values pass: NumPy refuses them as sizes).
  int at_most(int bound) const;
  // ValueError unless value >= bound (negative values pass, as for at_most);
  // a size bounded only from below still sizes an array, so it is also
  // refused beyond the ports any element may have.
  int at_least(int bound) const;
  // IndexError unless 0 <= value < count.
  int index_below(int count) const;

 private:
  int value_ = 0;
  const std::string* name_ = nullptr;
};

// A str argument, exactly str; its UTF-8 bytes.
struct ExactStr {
  std::string bytes;
};

// A one-dimensional buffer argument (None gives an empty one), held until
// the call returns. The engine only reads argument buffers.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  ~HeldBuffer() {
    if (held_ && !platform::interpreter_lost()) PyBuffer_Release(&view_);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  Py_ssize_t size() const { return held_ ? view_.shape[0] : 0; }

 protected:
  friend struct detail::BufferArg;
  // The first `count` items, once the buffer is known to hold them. Data not
  // aligned to `alignment` is read from an aligned copy of those items, made
  // here and kept until the call returns (null when there is none to copy).
  const void* items_checked(Py_ssize_t count, size_t alignment) const;
  Py_buffer view_{};
  bool held_ = false;
  const std::string* name_ = nullptr;

 private:
  mutable std::vector<std::max_align_t> aligned_copy_;
};

template <class T>
class Buffer : public HeldBuffer {
 public:
  // The data, once the buffer is known to hold at least `count` items.
  const T* items(Py_ssize_t count) const { return static_cast<const T*>(items_checked(count, alignof(T))); }
  // Every item, once each is known to be an index below `count`.
  const T* indices_below(int count) const {
    static_assert(std::is_same_v<T, int>, "indices come from int buffers");
    const T* data = items(size());
    detail::require_indices(data, size(), count, *name_);
    return data;
  }
};

// A buffer of objects of the binding type `Id`, whose engine objects are
// taken as `Engine` (the family's base class).
template <class Engine, TypeId Id>
class Items : public HeldBuffer {
 public:
  Items() = default;
  ~Items() {
    if (!platform::interpreter_lost()) detail::release_items(taken_);
  }

  // The engine objects of the first `count` items, once each is known to be
  // an object of the binding type that owns one. The items are referenced
  // before anything can run Python code (an exception raised, the tuple that
  // keeps them allocated, the collector): the buffer may be emptied meanwhile.
  std::vector<Engine*> take(Py_ssize_t count) const {
    const void* objects = items_checked(count, 1);
    std::vector<Engine*> out;
    if (count <= 0) return out;
    out.reserve(static_cast<size_t>(count));
    detail::hold_items(objects, count, taken_);
    for (Py_ssize_t i = 0; i < count; ++i)
      out.push_back(static_cast<Engine*>(detail::item_engine(taken_[static_cast<size_t>(i)], Id, i, *name_)));
    return out;
  }

 private:
  friend struct detail::Arg<Items>;
  mutable std::vector<PyObject*> taken_;  // new references
};

// An object of the binding type `Id` (or of a subclass); `Engine` is the
// family's base class.
template <class Engine, TypeId Id>
class Ref {
 public:
  Engine& get() const { return *engine_; }
  Engine& operator*() const { return *engine_; }
  Engine* operator->() const { return engine_; }

 private:
  friend struct detail::Arg<Ref>;
  Engine* engine_ = nullptr;
  PyObject* object_ = nullptr;
};

// The `connections` argument: pairs (i, j) in the order given.
class Pairs {
 public:
  using Pair = std::pair<int, int>;
  // The pairs, once every i is below first_count and every j below second_count.
  const std::vector<Pair>& checked(int first_count, int second_count) const;
  size_t size() const { return pairs_.size(); }

 private:
  friend struct detail::Arg<Pairs>;
  std::vector<Pair> pairs_;
  const std::string* name_ = nullptr;
};

// Array results: `fill` writes the engine's entries into the new array.
template <class T, class Fill>
struct ArrayResult {
  Py_ssize_t size;
  Py_ssize_t written;
  Fill fill;  // fill(T* data)
};
template <class T, class Fill>
struct ArrayPairResult {
  Py_ssize_t size1, size2;
  Fill fill;  // fill(T* first, T* second)
};
template <class Fill>
struct SquareResult {
  Py_ssize_t n;
  Fill fill;  // fill(double* row_major)
};

// complex128 array of `size` entries, all written by the engine.
template <class Fill>
ArrayResult<std::complex<double>, Fill> complex_array(Py_ssize_t size, Fill fill) {
  return {size, size, std::move(fill)};
}
// complex128 array of `size` entries, of which the engine writes `written`.
template <class Fill>
ArrayResult<std::complex<double>, Fill> complex_array(Py_ssize_t size, Py_ssize_t written, Fill fill) {
  return {size, written, std::move(fill)};
}
template <class Fill>
ArrayResult<double, Fill> real_array(Py_ssize_t size, Fill fill) {
  return {size, size, std::move(fill)};
}
// A tuple of two complex128 arrays, made in order, then filled together.
template <class Fill>
ArrayPairResult<std::complex<double>, Fill> complex_arrays(Py_ssize_t size1, Py_ssize_t size2, Fill fill) {
  return {size1, size2, std::move(fill)};
}
// A float64 array of n by n entries, filled in row-major order.
template <class Fill>
SquareResult<Fill> real_square_array(Py_ssize_t n, Fill fill) {
  return {n, std::move(fill)};
}

}  // namespace cy

#include "binding_detail.hpp"

namespace cy {

template <class Engine, class Base>
class TypeDef {
 public:
  TypeDef(TypeId id, FamilyId family) : id_(id) {
    if (row(id).family != family)
      declaration_errors().push_back(std::string(row(id).name) + " declared in another family");
  }

  template <std::size_t N, class F>
  TypeDef& constructor(const char* const (&names)[N], F f, int line = __builtin_LINE(),
                       const char* file = __builtin_FILE()) {
    add_constructor<N>(std::vector<std::string>(names, names + N), std::move(f), line, file);
    return *this;
  }
  // A constructor that accepts and ignores any arguments.
  template <class F>
  TypeDef& constructor_ignoring_arguments(F f, int line = __builtin_LINE(), const char* file = __builtin_FILE()) {
    FunctionDef* def = new_function_def(index(), "__cinit__", {}, {}, file, line);
    def->ignores_arguments = true;
    def->construct = &detail::construct_ignoring<Base, F>;
    def->payload = new F(std::move(f));
    set_constructor(def);
    return *this;
  }

  template <std::size_t N, class F>
  TypeDef& method(const char* name, const char* const (&names)[N], F f, int line = __builtin_LINE(),
                  const char* file = __builtin_FILE()) {
    add_method<N>(name, std::vector<std::string>(names, names + N), std::move(f), line, file);
    return *this;
  }
  template <class F>
  TypeDef& method(const char* name, F f, int line = __builtin_LINE(), const char* file = __builtin_FILE()) {
    add_method<0>(name, {}, std::move(f), line, file);
    return *this;
  }

 private:
  int index() const { return static_cast<int>(id_); }

  void set_constructor(FunctionDef* def) {
    TypeRegistration& reg = registration(id_);
    if (reg.constructor != nullptr)
      declaration_errors().push_back(std::string(row(id_).name) + " has two constructors");
    reg.constructor = def;
  }

  template <std::size_t N, class F>
  void add_constructor(std::vector<std::string> params, F f, int line, const char* file) {
    add_constructor_impl<N>(std::move(params), std::move(f), line, file,
                            static_cast<typename detail::signature_of<F>::args*>(nullptr));
  }
  template <std::size_t N, class F, class... A>
  void add_constructor_impl(std::vector<std::string> params, F f, int line, const char* file, std::tuple<A...>*) {
    static_assert(N == sizeof...(A), "one name per constructor parameter");
    using Made = std::remove_pointer_t<typename detail::signature_of<F>::result>;
    static_assert(std::is_base_of_v<Engine, Made>, "a constructor returns a new object of the type's engine class");
    FunctionDef* def = new_function_def(index(), "__cinit__", params, {detail::declared<A>()...}, file, line);
    def->construct = &detail::construct<Base, F, A...>;
    def->retains = detail::any_retains<A...>();
    def->payload = new F(std::move(f));
    set_constructor(def);
  }

  template <std::size_t N, class F>
  void add_method(const char* name, std::vector<std::string> params, F f, int line, const char* file) {
    add_method_impl<N>(name, std::move(params), std::move(f), line, file,
                       static_cast<typename detail::signature_of<F>::args*>(nullptr));
  }
  template <std::size_t N, class F, class SelfArg, class... A>
  void add_method_impl(const char* name, std::vector<std::string> params, F f, int line, const char* file,
                       std::tuple<SelfArg, A...>*) {
    using Self = detail::value_t<SelfArg>;
    static_assert(N == sizeof...(A), "one name per method parameter after the engine object");
    static_assert(std::is_base_of_v<Self, Engine>, "a method's first parameter is the engine object");
    FunctionDef* def = new_function_def(index(), name, params, {detail::declared<A>()...}, file, line);
    def->call = &detail::call_method<Engine, Base, Self, F, A...>;
    def->payload = new F(std::move(f));
    registration(id_).methods.push_back(def);
  }

  TypeId id_;
};

// The types whose engine objects derive from `Base`, deleted through it.
template <class Base>
class Family {
 public:
  explicit Family(FamilyId id) : id_(id) { set_family_deleter(id, &destroy); }
  template <class Engine>
  TypeDef<Engine, Base> type(TypeId id) const {
    static_assert(std::is_base_of_v<Base, Engine>, "a family's engine classes derive from its base");
    return TypeDef<Engine, Base>(id, id_);
  }

 private:
  static void destroy(void* engine) { delete static_cast<Base*>(engine); }
  FamilyId id_;
};

// A function of the module namespace.
template <std::size_t N, class F>
int module_function(const char* name, const char* const (&names)[N], F f, int line = __builtin_LINE(),
                    const char* file = __builtin_FILE()) {
  return detail::add_module_function<N>(name, std::vector<std::string>(names, names + N), std::move(f), line, file,
                                        static_cast<typename detail::signature_of<F>::args*>(nullptr));
}

}  // namespace cy
