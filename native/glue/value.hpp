/// Python constants described in C++: the defaults of parameters and dataclass fields.
#pragma once

#include "glue/ref.hpp"

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace corvid {

/// None, a bool, an int, a float, a str or a tuple of these, made into a new Python object on
/// request. A default is declared once as a `Value` and serves every place that shows it.
class Value {
public:
    Value(std::nullptr_t) : kind_(Kind::none) {}
    Value(bool b) : kind_(Kind::boolean), integer_(b) {}
    Value(int i) : kind_(Kind::integer), integer_(i) {}
    Value(long long i) : kind_(Kind::integer), integer_(i) {}
    Value(double d) : kind_(Kind::real), real_(d) {}
    Value(const char* s) : kind_(Kind::text), text_(s) {}

    static Value tuple(std::initializer_list<Value> items) {
        Value v(nullptr);
        v.kind_ = Kind::tuple;
        v.items_.assign(items.begin(), items.end());
        return v;
    }

    /// A new Python object holding this value.
    Ref make() const;

private:
    enum class Kind { none, boolean, integer, real, text, tuple };
    Kind kind_;
    long long integer_ = 0;
    double real_ = 0.0;
    const char* text_ = nullptr;
    std::vector<Value> items_;
};

/// The value None.
inline const Value kNone = nullptr;

}  // namespace corvid
