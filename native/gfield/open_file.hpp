/// A file opened for writing by the interpreter's own `open`, so its errors are the
/// interpreter's, written from C++ memory.
#pragma once

#include "glue/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace corvid::gfield::model {

class OpenFile {
public:
    /// `open(filename, "wb")`, with `open` looked up in builtins at each call.
    explicit OpenFile(PyObject* filename);
    /// Closes a file left open by an error, keeping that error.
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    /// Writes all `size` bytes at the current position.
    void write(const void* data, size_t size);
    /// Moves to byte `offset` from the start.
    void seek(int64_t offset);
    bool seekable();
    /// Closes the file; an error of closing propagates.
    void close();

private:
    Ref file_;
};

}  // namespace corvid::gfield::model
