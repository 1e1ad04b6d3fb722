/// A C++ function that behaves like a Python function: signature, defaults, annotations,
/// introspection, method binding, weak references, pickling by reference.
///
/// An implementation is an ordinary C++ function with typed parameters (convert.hpp says how
/// each type is converted); it is declared once, as data, next to its implementation:
///
///     Ref scale(double x, double by) { return py_float(x * by); }
///     const FunctionDef kScale{
///         .name = "scale",
///         .params = {{.name = "x", .annotation = "float"},
///                    {.name = "by", .annotation = "float", .default_value = 2.0}},
///         .returns = "float",
///         .doc = "Return x times by.",
///         .impl = typed<scale>,
///     };
///
/// and added with `add_function(module, kScale)` (or `ClassBuilder::method`). The glue binds
/// the call's arguments to the declared parameters, fills in defaults, converts each argument
/// in declaration order (the first failure ends the call) and calls the implementation. A
/// first parameter of type `Module` receives the defining module, for names looked up at
/// call time.
#pragma once

#include "glue/convert.hpp"
#include "glue/value.hpp"

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvid {

enum class ParamKind { positional_or_keyword, keyword_only, var_positional, var_keyword };

/// One declared parameter. Parameters are declared in Python order:
/// positional-or-keyword, then `*args`, then keyword-only, then `**kwargs`.
struct Param {
    const char* name;
    const char* annotation = nullptr;      ///< annotation string, or none
    std::optional<Value> default_value{};  ///< none for a required parameter
    ParamKind kind = ParamKind::positional_or_keyword;
};

struct FunctionDef;

/// The module that defines a function, as the function's code sees it.
class Module {
public:
    explicit Module(PyObject* module) noexcept : module_(module) {}
    PyObject* get() const noexcept { return module_; }

    /// `name` as a global of the module: its namespace first, then the builtins; NameError
    /// "name '<name>' is not defined" when neither has it. Looked up at each call, so
    /// rebinding or deleting the module attribute takes effect at the next call.
    Ref global(const char* name) const;

    /// True while `name` resolves (as `global` would) to a function made from `def`: the
    /// module's own implementation, not a replacement. Raises nothing for a missing name.
    bool global_is(const char* name, const FunctionDef& def) const;

private:
    /// The object `global` would return, or none.
    Ref find_global(const char* name) const;

    PyObject* module_;
};

/// One call's arguments, bound to the declared parameters: one borrowed object per parameter
/// (`*args` as a tuple, `**kwargs` as a dict).
struct CallFrame {
    PyObject* const* items;
    PyObject* module;
    const FunctionDef* def;
};

/// The adapter that converts a frame's arguments and calls a typed implementation.
struct Implementation {
    Ref (*call)(const CallFrame&) = nullptr;
    size_t arity = 0;  ///< Python-visible parameters the implementation takes
};

struct FunctionDef {
    const char* name;
    std::vector<Param> params;
    const char* returns = nullptr;  ///< return annotation string, or none
    const char* doc = nullptr;
    Implementation impl;
};

namespace detail {

template <class T>
inline constexpr bool is_module = std::is_same_v<std::remove_cvref_t<T>, Module>;

template <class F>
struct Adapter;

template <class... Ts>
struct Adapter<Ref (*)(Ts...)> {
    static constexpr bool takes_module = (sizeof...(Ts) > 0) && is_module<std::tuple_element_t<0, std::tuple<Ts..., void>>>;
    static constexpr size_t offset = takes_module ? 1 : 0;
    static constexpr size_t arity = sizeof...(Ts) - offset;

    template <class T>
    static T argument(const CallFrame& frame, size_t index) {
        if constexpr (is_module<T>) {
            return Module(frame.module);
        } else {
            size_t slot = index - offset;
            return Argument<std::remove_cvref_t<T>>::from(frame.items[slot], frame.def->params[slot].name);
        }
    }

    template <Ref (*F)(Ts...), size_t... I>
    static Ref run(const CallFrame& frame, std::index_sequence<I...>) {
        // A braced list converts left to right: the first argument that fails ends the call.
        std::tuple<std::remove_cvref_t<Ts>...> args{argument<std::remove_cvref_t<Ts>>(frame, I)...};
        return std::apply(F, std::move(args));
    }

    template <Ref (*F)(Ts...)>
    static Ref call(const CallFrame& frame) {
        return run<F>(frame, std::index_sequence_for<Ts...>{});
    }
};

}  // namespace detail

/// The implementation `F`, a function returning `Ref` whose parameter types name their
/// conversions.
template <auto F>
inline constexpr Implementation typed{&detail::Adapter<decltype(F)>::template call<F>,
                                      detail::Adapter<decltype(F)>::arity};

/// Creates the function object. `qualname` defaults to the name; `module` is the defining
/// module: its name becomes `__module__`, and its namespace is where globals are looked up.
Ref make_function(const FunctionDef& def, PyObject* module, const char* qualname = nullptr);

/// Creates the function and binds it as a module attribute under its name.
void add_function(PyObject* module, const FunctionDef& def);

/// True when `obj` is a function object made from `def`: the module's own implementation,
/// not a replacement bound in its place.
bool is_function_of(PyObject* obj, const FunctionDef& def) noexcept;

/// Readies the function type; called by every module's initialisation.
void ready_function_type();

}  // namespace corvid
