#include "module/arrays.hpp"

#include <string>
#include <utility>

#include "fault.hpp"
#include "module/numpy_api.hpp"
#include "module/pending_error.hpp"
#include "module/type_name.hpp"

namespace ventrola::py {
namespace {

int type_number(ElementType type) { return type == ElementType::Bool ? numpy::NPY_BOOL : numpy::NPY_DOUBLE; }

numpy::npy_intp element_size(ElementType type) { return type == ElementType::Bool ? 1 : 8; }

bool is_vector_of(const numpy::ArrayApi& api, PyObject* object, ElementType type) {
    if (!PyType_IsSubtype(Py_TYPE(object), api.array_type)) return false;
    const numpy::ArrayFields& fields = numpy::array_fields(object);
    if (fields.nd != 1) return false;
    PyRef expected = checked(api.descr_from_type(type_number(type)));  // new reference
    return fields.descr == expected.get() || api.equiv_types(fields.descr, expected.get()) != 0;
}

// ---- PySliceContainer: the owner of an output array's buffer ----

struct SliceContainer {
    PyObject_HEAD
    void (*release)(void* data, std::size_t length, std::size_t capacity);
    void* data;
    std::size_t length;
    std::size_t capacity;
};

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    // An instance made from Python holds no buffer.
    if (container->release != nullptr) container->release(container->data, container->length, container->capacity);
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_doc, const_cast<char*>("Utility type to store an owned buffer safely on the Python heap: it frees\n"
                                  "the memory behind an array returned by the extension when the array goes.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},  // sentinel
};

PyType_Spec slice_container_spec = {
    .name = "builtins.PySliceContainer",
    .basicsize = static_cast<int>(sizeof(SliceContainer)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = slice_container_slots,
};

PyTypeObject* slice_container_type() {
    // Made with the interpreter lock held, which serialises the first use.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyType_FromSpec(&slice_container_spec);
        if (type == nullptr) {
            PyErr_WriteUnraisable(nullptr);
            raise_fault("failed to create type object for `PySliceContainer`");
        }
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

// Frees a buffer that no container has taken over yet.
class PendingBuffer {
public:
    explicit PendingBuffer(RawBuffer buffer) : buffer_(buffer) {}
    PendingBuffer(const PendingBuffer&) = delete;
    PendingBuffer& operator=(const PendingBuffer&) = delete;
    ~PendingBuffer() {
        if (buffer_.release != nullptr) buffer_.release(buffer_.data, buffer_.length, buffer_.capacity);
    }
    RawBuffer take() { return std::exchange(buffer_, RawBuffer{}); }

private:
    RawBuffer buffer_;
};

PyRef make_slice_container(PendingBuffer& buffer) {
    PyTypeObject* type = slice_container_type();
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef container = PyRef::steal(allocate(type, 0));
    if (!container) raise_fault("Failed to create slice container: " + take_pending_error_text());
    const RawBuffer raw = buffer.take();
    auto* fields = reinterpret_cast<SliceContainer*>(container.get());
    fields->release = raw.release;
    fields->data = raw.data;
    fields->length = raw.length;
    fields->capacity = raw.capacity;
    return container;
}

// Passed to NumPy for an empty buffer, so that it does not allocate memory of
// its own; never read or written.
alignas(8) unsigned char empty_placeholder[8];

}  // namespace

CallResult<ArrayView> borrow_input_array(PyObject* object, ElementType type) {
    const numpy::ArrayApi& api = numpy::array_api();
    if (!is_vector_of(api, object, type)) {
        if (object == Py_None)
            return raise_later(CallError::of(PyExc_TypeError, "'None' is not an instance of 'ndarray'"));
        return raise_later(not_an_instance(object, "ndarray"));
    }
    return ArrayView(PyRef::ref(object), type);
}

CallResult<ElementSpan> view_elements(const ArrayView& view, const char* name) {
    if (view.array() == nullptr) raise_fault("array view used after it was moved from");
    const numpy::ArrayFields& fields = numpy::array_fields(view.array());
    std::size_t length = 1;
    for (int i = 0; i < fields.nd; ++i) length *= static_cast<std::size_t>(fields.dimensions[i]);
    if (length == 0) return ElementSpan{fields.data, 0};

    const bool aligned = (fields.flags & numpy::NPY_ARRAY_ALIGNED) != 0;
    const bool contiguous = (fields.flags & (numpy::NPY_ARRAY_C_CONTIGUOUS | numpy::NPY_ARRAY_F_CONTIGUOUS)) != 0;
    if (!aligned || !contiguous || fields.data == nullptr) {
        return raise_later(CallError::of(PyExc_ValueError, std::string("`") + name +
                                                               "` must be a contiguous 1-D array: The given array "
                                                               "is not contiguous or is misaligned."));
    }
    return ElementSpan{fields.data, length};
}

PyRef make_output_array(RawBuffer buffer, ElementType type) {
    PendingBuffer pending(buffer);
    if (buffer.data == nullptr && buffer.length != 0) raise_fault("output buffer of nonzero length without memory");
    const numpy::npy_intp dimensions[1] = {static_cast<numpy::npy_intp>(buffer.length)};
    const numpy::npy_intp strides[1] = {element_size(type)};
    void* data = buffer.data != nullptr ? buffer.data : empty_placeholder;

    PyRef container = make_slice_container(pending);
    const numpy::ArrayApi& api = numpy::array_api();
    PyObject* descr = api.descr_from_type(type_number(type));  // new reference, stolen below
    if (descr == nullptr) raise_fault("failed to get the descriptor of an output array: " + take_pending_error_text());
    PyRef array = PyRef::steal(
        api.new_from_descr(api.array_type, descr, 1, dimensions, strides, data, numpy::NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) raise_fault("failed to create an output array: " + take_pending_error_text());
    // From here the array holds the only reference to the container.
    if (api.set_base_object(array.get(), container.release()) < 0) {
        raise_fault("failed to set the owner of an output array: " + take_pending_error_text());
    }
    return array;
}

}  // namespace ventrola::py
