/// A file opened for writing by the interpreter's own `open`, so its errors are the
/// interpreter's, with the buffer its bytes are written from.
#pragma once

#include "glue/array.hpp"
#include "glue/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace corvid::gfield::writer {

/// `open(filename, "wb")` and a buffer to write from: a bytearray handed to `write` as
/// read-only memoryviews. A `write` may keep what it was given (a view, a view derived from it,
/// or the bytearray behind it): what it keeps keeps the bytes alive, and the buffer moves to a
/// fresh bytearray before it is filled again, so kept bytes are never overwritten.
class OpenFile {
public:
    /// Opens `filename` with `open` as builtins has it now; the buffer holds `buffer_bytes`.
    OpenFile(PyObject* filename, size_t buffer_bytes);
    /// Closes a file left open by an error, keeping that error.
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    /// Asks the file system to allocate `size` bytes up front, as NumPy's `tofile` does, which
    /// spares it allocating block by block while the body streams in. A hint: failures are
    /// ignored and the file's size is unchanged.
    void reserve(int64_t size);
    /// The buffer to fill before writing from it.
    std::byte* buffer();
    /// Writes all `size` bytes at `data`, which lie in the buffer, at byte `offset` of the file.
    void write(int64_t offset, const std::byte* data, size_t size);
    /// Byte offset of the next write.
    int64_t position() const { return position_; }
    bool seekable();
    /// Closes the file; an error of closing propagates.
    void close();

private:
    Ref file_;
    Ref array_;          ///< the buffer's bytearray
    ArrayView pinned_;   ///< an export of it, so nobody can resize it while it is ours
    size_t buffer_bytes_;
    bool kept_ = true;   ///< something else holds the bytearray (or there is none yet)
    int64_t position_ = 0;
};

}  // namespace corvid::gfield::writer
