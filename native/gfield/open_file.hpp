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

    /// Asks the file system to allocate `size` bytes up front (as NumPy's `tofile` does), which
    /// spares it allocating block by block while the body streams in. A hint: failures are
    /// ignored and the file's size is unchanged.
    void reserve(int64_t size);
    /// Writes all `size` bytes at the current position.
    void write(const void* data, size_t size);
    /// Writes all `size` bytes at byte `offset` from the start.
    void write_at(int64_t offset, const void* data, size_t size);
    /// Byte offset of the next write.
    int64_t position() const { return position_; }
    bool seekable();
    /// Closes the file; an error of closing propagates.
    void close();

private:
    Ref file_;
    int64_t position_ = 0;
};

}  // namespace corvid::gfield::model
