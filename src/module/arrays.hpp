// NumPy arrays across the boundary: input arrays are tested and read in place
// through borrowed views; output arrays are made around buffers the simulation
// filled, owned by a PySliceContainer set as the array's base.
#pragma once

#include <cstddef>

#include "module/call_error.hpp"
#include "parallel/owned_buffer.hpp"

namespace ventrola::py {

enum class ElementType { Bool, Double };

// A borrowed read-only view of one input array, valid until the entry
// returns; destroying it drops the array reference. The module only ever reads
// its inputs and never writes them, so it takes no part in a borrow registry
// shared with other extension modules.
class ArrayView {
public:
    ArrayView() = default;
    ArrayView(PyRef array, ElementType type) : array_(std::move(array)), type_(type) {}

    PyObject* array() const noexcept { return array_.get(); }
    ElementType type() const noexcept { return type_; }

private:
    PyRef array_;
    ElementType type_ = ElementType::Double;
};

struct ElementSpan {
    const void* data;  // not dereferenced when length is 0
    std::size_t length;
};

// TypeError "'<qualname>' object is not an instance of 'ndarray'" unless the
// object is a one-dimensional ndarray of the element type (the caller adds the
// argument note).
CallResult<ArrayView> borrow_input_array(PyObject* object, ElementType type);

// ValueError unless the array is aligned and contiguous (any empty array passes).
CallResult<ElementSpan> view_elements(const ArrayView& view, const char* name);

// A new one-dimensional array around the buffer, which it takes over. Faults
// when NumPy or the owner object fails; the buffer is freed then.
PyRef make_output_array(RawBuffer buffer, ElementType type);

}  // namespace ventrola::py
