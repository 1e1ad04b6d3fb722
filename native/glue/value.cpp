#include "glue/value.hpp"

#include "glue/call.hpp"

namespace corvid {

Ref Value::make() const {
    switch (kind_) {
        case Kind::none: return py_none();
        case Kind::boolean: return py_bool(integer_ != 0);
        case Kind::integer: return py_int(integer_);
        case Kind::real: return py_float(real_);
        case Kind::text: return py_str(text_);
        case Kind::tuple: {
            Ref t = checked(PyTuple_New(static_cast<Py_ssize_t>(items_.size())));
            for (size_t i = 0; i < items_.size(); ++i)
                PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), items_[i].make().release());
            return t;
        }
    }
    return py_none();
}

}  // namespace corvid
