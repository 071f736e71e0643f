#include "module/numpy_api.hpp"

#include <pthread.h>

#include <atomic>
#include <charconv>
#include <cstddef>
#include <optional>
#include <string>
#include <thread>

#include "fault.hpp"
#include "module/pending_error.hpp"

namespace ventrola::py::numpy {
namespace {

// Slots of the table, as NumPy numbers them.
constexpr std::size_t GET_NDARRAY_C_VERSION = 0;
constexpr std::size_t ARRAY_TYPE = 2;
constexpr std::size_t DESCR_FROM_TYPE = 45;
constexpr std::size_t NEW_FROM_DESCR = 94;
constexpr std::size_t EQUIV_TYPES = 182;
constexpr std::size_t GET_ENDIANNESS = 210;
constexpr std::size_t GET_NDARRAY_C_FEATURE_VERSION = 211;
constexpr std::size_t SET_BASE_OBJECT = 282;

// The newest ABI and the oldest C-API feature level the table layout above
// is valid for.
constexpr unsigned ABI_VERSION = 0x2000000;
constexpr unsigned FEATURE_VERSION = 0xc;
constexpr const char* FEATURE_VERSION_RELEASE = "1.15";
constexpr int NPY_CPU_LITTLE = 1;

constexpr const char* LOAD_FAILURE = "Failed to access NumPy array API capsule: ";

// The table once loaded; never released.
ArrayApi loaded_storage;
std::atomic<const ArrayApi*> loaded{nullptr};

// 1 while a thread is loading. Set and cleared with the interpreter lock
// held; other threads wait on it with the lock released.
std::atomic<int> loading{0};
std::thread::id loader;  // read and written with the interpreter lock held

std::string hex(unsigned value) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
    return {digits, end};
}

bool runtime_error(const std::string& message) {
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    return false;
}

PyRef attribute(const PyRef& object, const char* name) {
    return PyRef::steal(PyObject_GetAttrString(object.get(), name));
}

std::optional<unsigned char> as_u8(PyObject* object) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return std::nullopt;
    const unsigned long value = PyLong_AsUnsignedLong(index.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) return std::nullopt;
    if (value > 0xff) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return std::nullopt;
    }
    return static_cast<unsigned char>(value);
}

// The multiarray module's name for the running NumPy; nullopt with the
// interpreter's error pending.
std::optional<std::string> multiarray_module_name() {
    PyRef numpy_module = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy_module) return std::nullopt;
    PyRef version = attribute(numpy_module, "__version__");
    if (!version) return std::nullopt;
    PyRef lib = PyRef::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return std::nullopt;
    PyRef numpy_version = attribute(lib, "NumpyVersion");
    if (!numpy_version) return std::nullopt;
    PyRef parsed = PyRef::steal(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
    if (!parsed) return std::nullopt;
    PyRef major_object = attribute(parsed, "major");
    if (!major_object) return std::nullopt;
    const std::optional<unsigned char> major = as_u8(major_object.get());
    if (!major) return std::nullopt;
    return std::string(*major >= 2 ? "numpy._core" : "numpy.core") + ".multiarray";
}

// Fills `api` from NumPy's capsule after checking that the running NumPy
// suits the layout used here; false with the interpreter's error pending.
bool fetch_table(ArrayApi& api) {
    const std::optional<std::string> name = multiarray_module_name();
    if (!name) return false;
    PyRef multiarray = PyRef::steal(PyImport_ImportModule(name->c_str()));
    if (!multiarray) return false;
    PyRef capsule = attribute(multiarray, "_ARRAY_API");
    if (!capsule) return false;
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return false;

    const unsigned c_version = reinterpret_cast<unsigned (*)()>(table[GET_NDARRAY_C_VERSION])();
    if (c_version > ABI_VERSION) {
        return runtime_error("module compiled against ABI version 0x" + hex(ABI_VERSION) +
                             " but this version of numpy is 0x" + hex(c_version));
    }
    const unsigned feature_version = reinterpret_cast<unsigned (*)()>(table[GET_NDARRAY_C_FEATURE_VERSION])();
    if (feature_version < FEATURE_VERSION) {
        return runtime_error("module was compiled against NumPy C-API version 0x" + hex(FEATURE_VERSION) + " (NumPy " +
                             FEATURE_VERSION_RELEASE + ") but the running NumPy has C-API version 0x" +
                             hex(feature_version));
    }
    if (reinterpret_cast<int (*)()>(table[GET_ENDIANNESS])() != NPY_CPU_LITTLE) {
        return runtime_error("module compiled as little endian, but detected different endianness at runtime");
    }

    api.array_type = static_cast<PyTypeObject*>(table[ARRAY_TYPE]);
    api.descr_from_type = reinterpret_cast<decltype(api.descr_from_type)>(table[DESCR_FROM_TYPE]);
    api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[EQUIV_TYPES]);
    api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[NEW_FROM_DESCR]);
    api.set_base_object = reinterpret_cast<decltype(api.set_base_object)>(table[SET_BASE_OBJECT]);
    // The table lives inside the multiarray module: keep that imported for good.
    multiarray.release();
    return true;
}

// A forked child has only the forking thread: a loading that another thread
// had under way will never finish there, so the child starts afresh.
void forget_loading_in_child() { loading.store(0); }

// Ends this thread's loading on every path, waking the threads that wait.
struct LoadingTurn {
    LoadingTurn() {
        loading.store(1);
        loader = std::this_thread::get_id();
    }
    ~LoadingTurn() {
        loader = std::thread::id();
        loading.store(0);
        loading.notify_all();
    }
    LoadingTurn(const LoadingTurn&) = delete;
    LoadingTurn& operator=(const LoadingTurn&) = delete;
};

}  // namespace

const ArrayApi& array_api() {
    if (const ArrayApi* api = loaded.load(std::memory_order_acquire)) return *api;

    static const bool fork_handler_registered = [] {
        return pthread_atfork(nullptr, nullptr, forget_loading_in_child) == 0;
    }();
    (void)fork_handler_registered;

    while (loading.load() != 0) {
        if (loader == std::this_thread::get_id()) {
            // NumPy's import came back into this module: waiting would never end.
            raise_fault(std::string(LOAD_FAILURE) + "the table was needed while it was being loaded");
        }
        // The loading thread needs the interpreter lock to finish.
        PyThreadState* state = PyEval_SaveThread();
        loading.wait(1);
        PyEval_RestoreThread(state);
        if (const ArrayApi* api = loaded.load(std::memory_order_acquire)) return *api;
    }

    std::string failure;
    {
        LoadingTurn turn;
        ArrayApi api{};
        if (fetch_table(api)) {
            loaded_storage = api;
            loaded.store(&loaded_storage, std::memory_order_release);
            return loaded_storage;
        }
        failure = take_pending_error_text();
    }
    raise_fault(LOAD_FAILURE + failure);
}

bool array_api_loaded() noexcept { return loaded.load(std::memory_order_acquire) != nullptr; }

}  // namespace ventrola::py::numpy
