/// The function type: a declared C++ implementation wrapped in a Python-function-like object.
#include "glue/function.hpp"

#include "glue/boundary.hpp"
#include "glue/call.hpp"

#include <algorithm>
#include <array>

namespace corvid {

namespace {

constexpr Py_ssize_t kMaxParams = 16;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* module;       // defining module, for lookups at call time
    PyObject* names;        // tuple of parameter names, declaration order
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;  // __module__
    PyObject* doc;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* annotations;  // dict
    PyObject* dict;
    PyObject* weakreflist;
    Py_ssize_t n_positional;  // positional-or-keyword parameters
    Py_ssize_t n_kwonly;
    Py_ssize_t n_params;
    bool has_varargs;
    bool has_varkw;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

// Declaration index of the slots that are not positional-or-keyword.
Py_ssize_t varargs_slot(const FunctionObject* f) { return f->n_positional; }
Py_ssize_t kwonly_slot(const FunctionObject* f, Py_ssize_t k) {
    return f->n_positional + (f->has_varargs ? 1 : 0) + k;
}
Py_ssize_t varkw_slot(const FunctionObject* f) { return f->n_params - 1; }

// ---- argument-count errors, in the interpreter's own wording ----------------------------

void too_many_positional(FunctionObject* f, Py_ssize_t given, PyObject* const* slots) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t k = 0; k < f->n_kwonly; ++k)
        if (slots[kwonly_slot(f, k)]) ++kwonly_given;
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = checked(PyUnicode_FromFormat("from %zd to %zd", f->n_positional - defcount,
                                           f->n_positional));
    } else {
        plural = f->n_positional != 1;
        sig = checked(PyUnicode_FromFormat("%zd", f->n_positional));
    }
    Ref kwonly_sig = kwonly_given
        ? checked(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                       given != 1 ? "s" : "", kwonly_given,
                                       kwonly_given != 1 ? "s" : ""))
        : py_str("");
    raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                 f->qualname, sig.get(), plural ? "s" : "", given, kwonly_sig.get(),
                 given == 1 && !kwonly_given ? "was" : "were");
}

void missing_arguments(FunctionObject* f, const char* kind, Ref names) {
    Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref joined;
    if (len == 1) {
        joined = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        joined = checked(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                              PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = checked(PyUnicode_FromFormat(", %U, and %U",
                                                PyList_GET_ITEM(names.get(), len - 2),
                                                PyList_GET_ITEM(names.get(), len - 1)));
        check_status(PyList_SetSlice(names.get(), len - 2, len, nullptr));
        Ref comma = py_str(", ");
        Ref head = checked(PyUnicode_Join(comma.get(), names.get()));
        joined = checked(PyUnicode_Concat(head.get(), tail.get()));
    }
    raise_format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname,
                 static_cast<int>(len), kind, len == 1 ? "" : "s", joined.get());
}

void append_repr(Ref& list, PyObject* name) {
    Ref r = checked(PyObject_Repr(name));
    check_status(PyList_Append(list.get(), r.get()));
}

// ---- binding ---------------------------------------------------------------------------

/// The bound arguments of one call; owns whatever it had to create or keep alive.
struct Binding {
    std::array<PyObject*, kMaxParams> slots{};
    std::array<Ref, kMaxParams> owned{};
    Ref defaults;
    Ref kwdefaults;
};

Py_ssize_t find_keyword(FunctionObject* f, PyObject* key) {
    for (Py_ssize_t i = 0; i < f->n_params; ++i) {
        if (PyTuple_GET_ITEM(f->names, i) == key) return i;
    }
    for (Py_ssize_t i = 0; i < f->n_params; ++i) {
        PyObject* name = PyTuple_GET_ITEM(f->names, i);
        int eq = PyObject_RichCompareBool(name, key, Py_EQ);
        if (eq < 0) throw_python_error();
        if (eq) return i;
    }
    return -1;
}

bool is_named_slot(FunctionObject* f, Py_ssize_t i) {
    if (f->has_varargs && i == varargs_slot(f)) return false;
    if (f->has_varkw && i == varkw_slot(f)) return false;
    return true;
}

void bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Binding& b) {
    auto& slots = b.slots;
    Ref kwdict;
    if (f->has_varkw) {
        kwdict = checked(PyDict_New());
        b.owned[varkw_slot(f)] = kwdict;
        slots[varkw_slot(f)] = kwdict.get();
    }
    Py_ssize_t n = nargs < f->n_positional ? nargs : f->n_positional;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = args[i];
    if (f->has_varargs) {
        Py_ssize_t extra = nargs - n;
        Ref tuple = checked(PyTuple_New(extra));
        for (Py_ssize_t i = 0; i < extra; ++i)
            PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[n + i]));
        slots[varargs_slot(f)] = tuple.get();
        b.owned[varargs_slot(f)] = std::move(tuple);
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key))
            raise_format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
        Py_ssize_t i = find_keyword(f, key);
        if (i < 0 || !is_named_slot(f, i)) {
            if (!kwdict)
                raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             f->qualname, key);
            check_status(PyDict_SetItem(kwdict.get(), key, value));
            continue;
        }
        if (slots[i])
            raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         f->qualname, key);
        slots[i] = value;
    }
    if (nargs > f->n_positional && !f->has_varargs)
        too_many_positional(f, nargs, slots.data());

    if (nargs < f->n_positional) {
        b.defaults = Ref::borrow(f->defaults);
        Py_ssize_t defcount = b.defaults ? PyTuple_GET_SIZE(b.defaults.get()) : 0;
        Py_ssize_t first_default = f->n_positional - defcount;
        Ref missing;
        for (Py_ssize_t i = nargs; i < first_default; ++i) {
            if (slots[i]) continue;
            if (!missing) missing = checked(PyList_New(0));
            append_repr(missing, PyTuple_GET_ITEM(f->names, i));
        }
        if (missing) missing_arguments(f, "positional", std::move(missing));
        for (Py_ssize_t i = first_default > nargs ? first_default : nargs; i < f->n_positional;
             ++i) {
            if (!slots[i]) slots[i] = PyTuple_GET_ITEM(b.defaults.get(), i - first_default);
        }
    }

    if (f->n_kwonly) {
        b.kwdefaults = Ref::borrow(f->kwdefaults);
        Ref missing;
        for (Py_ssize_t k = 0; k < f->n_kwonly; ++k) {
            Py_ssize_t i = kwonly_slot(f, k);
            if (slots[i]) continue;
            PyObject* name = PyTuple_GET_ITEM(f->names, i);
            if (b.kwdefaults) {
                PyObject* def = PyDict_GetItemWithError(b.kwdefaults.get(), name);
                if (def) {
                    b.owned[i] = Ref::borrow(def);
                    slots[i] = def;
                    continue;
                }
                if (PyErr_Occurred()) throw_python_error();
            }
            if (!missing) missing = checked(PyList_New(0));
            append_repr(missing, name);
        }
        if (missing) missing_arguments(f, "keyword-only", std::move(missing));
    }
}

// ---- calling ---------------------------------------------------------------------------

PyObject* invoke(FunctionObject* f, PyObject* const* slots) {
    // Native functions call each other through module attributes; a rebinding can close a
    // cycle with no Python frame in it, so count the depth here as the interpreter does.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    Ref result;
    try {
        result = f->def->impl.call(CallFrame{slots, f->module, f->def});
    } catch (...) {
        Py_LeaveRecursiveCall();
        throw;
    }
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "native function returned no result");
    return result.release();
}

// The call path is chosen once, when the function is made (`make_function`).

/// Binds every call: functions with `*args`, `**kwargs` or keyword-only parameters.
PyObject* vectorcall_bound(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(self);
    return guarded([&]() -> PyObject* {
        Ref keep_alive = Ref::borrow(self);
        Binding b;
        bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, b);
        return invoke(f, b.slots.data());
    });
}

/// Positional-or-keyword parameters only: a call that passes all of them by position (the
/// common case) hands the caller's argument array on as it is.
PyObject* vectorcall_positional(PyObject* self, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(self);
    if (kwnames || PyVectorcall_NARGS(nargsf) != f->n_positional)
        return vectorcall_bound(self, args, nargsf, kwnames);
    return guarded([&]() -> PyObject* {
        Ref keep_alive = Ref::borrow(self);
        return invoke(f, args);
    });
}

// ---- type slots ------------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->module);
    Py_VISIT(f->names);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->names);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == Py_None || obj == nullptr) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference: the unpickler looks the qualified name up in __module__.
    return Py_NewRef(as_function(self)->qualname);
}

PyObject* function_signature(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    return guarded([&]() -> PyObject* {
        Ref inspect = import("inspect");
        Ref parameter = attr(inspect.get(), "Parameter");
        Ref empty = attr(parameter.get(), "empty");
        static const char* kind_names[] = {"POSITIONAL_OR_KEYWORD", "KEYWORD_ONLY",
                                           "VAR_POSITIONAL", "VAR_KEYWORD"};
        Ref params = checked(PyList_New(0));
        // Held for the whole loop: Python code runs inside it (a gc callback, say) and may
        // replace __defaults__, __kwdefaults__ or __annotations__ meanwhile.
        Ref defaults = Ref::borrow(f->defaults), kwdefaults = Ref::borrow(f->kwdefaults);
        Ref annotations = Ref::borrow(f->annotations);
        // As inspect reads a Python function: the positional parameters from
        // `names[n - len(defaults):]` (a slice, so more defaults than parameters clip it)
        // take the defaults from the first one on.
        Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        Py_ssize_t first_default = f->n_positional - defcount;
        if (first_default < 0) first_default = std::max<Py_ssize_t>(0, f->n_positional + first_default);
        for (Py_ssize_t i = 0; i < f->n_params; ++i) {
            const Param& p = f->def->params[static_cast<size_t>(i)];
            PyObject* name = PyTuple_GET_ITEM(f->names, i);
            Ref kind = attr(parameter.get(), kind_names[static_cast<int>(p.kind)]);
            Ref dflt = empty;
            if (p.kind == ParamKind::positional_or_keyword && defcount && i >= first_default)
                dflt = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), i - first_default));
            if (p.kind == ParamKind::keyword_only && kwdefaults) {
                PyObject* d = PyDict_GetItemWithError(kwdefaults.get(), name);
                if (d) dflt = Ref::borrow(d);
                else if (PyErr_Occurred()) throw_python_error();
            }
            Ref ann = empty;
            if (annotations && PyDict_Check(annotations.get())) {
                PyObject* a = PyDict_GetItemWithError(annotations.get(), name);
                if (a) ann = Ref::borrow(a);
                else if (PyErr_Occurred()) throw_python_error();
            }
            Ref param = call_kw(parameter.get(), {name, kind},
                                {{"default", dflt}, {"annotation", ann}});
            check_status(PyList_Append(params.get(), param.get()));
        }
        Ref ret = empty;
        if (annotations && PyDict_Check(annotations.get())) {
            PyObject* a = PyDict_GetItemWithError(annotations.get(), py_str("return").get());
            if (a) ret = Ref::borrow(a);
            else if (PyErr_Occurred()) throw_python_error();
        }
        Ref signature = attr(inspect.get(), "Signature");
        return call_kw(signature.get(), {params}, {{"return_annotation", ret}}).release();
    });
}

// Getters and setters in pairs, as for Python functions.

PyObject* get_or_none(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return get_or_none(as_function(self)->module_name); }
int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->module_name, Py_XNewRef(value));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) { return get_or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) { return get_or_none(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    // Kept as given, () and more values than parameters included: a call fills the missing
    // parameters from the end of the tuple, as for Python functions.
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    return get_or_none(as_function(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "corvid.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function implemented in C++ that behaves like a Python function.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    return t;
}();

}  // namespace

void ready_function_type() { check_status(PyType_Ready(&function_type)); }

Ref make_function(const FunctionDef& def, PyObject* module, const char* qualname) {
    Py_ssize_t n_params = static_cast<Py_ssize_t>(def.params.size());
    if (n_params > kMaxParams) raise(PyExc_SystemError, "too many parameters declared");
    if (!def.impl.call || def.impl.arity != def.params.size())
        raise_format(PyExc_SystemError, "%s() declares %zd parameters but its implementation takes %zu",
                     def.name, n_params, def.impl.arity);
    ready_function_type();

    Ref names = checked(PyTuple_New(n_params));
    Ref annotations = checked(PyDict_New());
    Ref defaults_list = checked(PyList_New(0));
    Ref kwdefaults;
    Py_ssize_t n_positional = 0, n_kwonly = 0;
    bool has_varargs = false, has_varkw = false;
    for (Py_ssize_t i = 0; i < n_params; ++i) {
        const Param& p = def.params[static_cast<size_t>(i)];
        PyObject* name = PyUnicode_InternFromString(p.name);
        if (!name) throw_python_error();
        PyTuple_SET_ITEM(names.get(), i, name);
        if (p.annotation) check_status(PyDict_SetItem(annotations.get(), name, py_str(p.annotation).get()));
        switch (p.kind) {
            case ParamKind::positional_or_keyword:
                ++n_positional;
                if (p.default_value)
                    check_status(PyList_Append(defaults_list.get(), p.default_value->make().get()));
                break;
            case ParamKind::keyword_only:
                ++n_kwonly;
                if (p.default_value) {
                    if (!kwdefaults) kwdefaults = checked(PyDict_New());
                    check_status(PyDict_SetItem(kwdefaults.get(), name, p.default_value->make().get()));
                }
                break;
            case ParamKind::var_positional: has_varargs = true; break;
            case ParamKind::var_keyword: has_varkw = true; break;
        }
    }
    if (def.returns) check_status(PyDict_SetItem(annotations.get(), py_str("return").get(), py_str(def.returns).get()));
    Ref defaults = PyList_GET_SIZE(defaults_list.get())
        ? checked(PyList_AsTuple(defaults_list.get())) : Ref();

    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) throw_python_error();

    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (!f) throw_python_error();
    // Null every slot first, so that deallocation is safe whatever fails below.
    f->module = f->names = f->name = f->qualname = f->module_name = f->doc = nullptr;
    f->defaults = f->kwdefaults = f->annotations = f->dict = f->weakreflist = nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    bool positional_only = !has_varargs && !has_varkw && n_kwonly == 0;
    f->vectorcall = positional_only ? vectorcall_positional : vectorcall_bound;
    f->def = &def;
    f->module = Py_NewRef(module);
    f->names = names.release();
    f->name = py_str(def.name).release();
    f->qualname = py_str(qualname ? qualname : def.name).release();
    f->module_name = module_name.release();
    f->doc = def.doc ? py_str(def.doc).release() : Py_NewRef(Py_None);
    f->defaults = defaults.release();
    f->kwdefaults = kwdefaults.release();
    f->annotations = annotations.release();
    f->dict = nullptr;
    f->n_positional = n_positional;
    f->n_kwonly = n_kwonly;
    f->n_params = n_params;
    f->has_varargs = has_varargs;
    f->has_varkw = has_varkw;
    PyObject_GC_Track(result.get());
    return result;
}

void add_function(PyObject* module, const FunctionDef& def) {
    Ref fn = make_function(def, module);
    check_status(PyModule_AddObjectRef(module, def.name, fn.get()));
}

bool is_function_of(PyObject* obj, const FunctionDef& def) noexcept {
    return Py_IS_TYPE(obj, &function_type) && as_function(obj)->def == &def;
}

Ref Module::find_global(const char* name) const {
    Ref key = py_str(name);
    PyObject* globals = PyModule_GetDict(module_);  // borrowed
    if (!globals) throw_python_error();
    if (PyObject* value = PyDict_GetItemWithError(globals, key.get())) return Ref::borrow(value);
    if (PyErr_Occurred()) throw_python_error();
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins) {
        if (PyObject* value = PyDict_GetItemWithError(builtins, key.get())) return Ref::borrow(value);
        if (PyErr_Occurred()) throw_python_error();
    }
    return {};
}

bool Module::global_is(const char* name, const FunctionDef& def) const {
    Ref value = find_global(name);
    return value && is_function_of(value.get(), def);
}

Ref Module::global(const char* name) const {
    if (Ref value = find_global(name)) return value;
    Ref key = py_str(name);
    // As the interpreter raises it, with the name attached.
    Ref message = checked(PyUnicode_FromFormat("name '%s' is not defined", name));
    Ref error = call_kw(PyExc_NameError, {message}, {{"name", key}});
    raise_object(error.get());
}

}  // namespace corvid
