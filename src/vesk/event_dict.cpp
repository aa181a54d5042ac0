#include "event_dict.hpp"

#include <algorithm>
#include <iterator>
#include <type_traits>

#include "faults.hpp"
#include "header_fields.hpp"
#include "numpy_bridge.hpp"
#include "vesk_module_state.hpp"

namespace vesk {

namespace {

// WD1: six header words and "data"; WD2: five and "data".
constexpr Py_ssize_t kEventKeyCount = std::max(kFieldCount<WD1Header>, kFieldCount<WD2Header>) + 1;

// The interned keys of a format's header fields, in the order of its table.
template <class Header>
PyObject** header_keys()
{
    if constexpr (std::is_same_v<Header, WD1Header>) {
        return module_state().wd1_keys;
    } else {
        return module_state().wd2_keys;
    }
}

// A header field's value as a Python int.
template <class T>
PyObject* int_from(T value)
{
    if constexpr (std::is_signed_v<T>) {
        return PyLong_FromLongLong(value);
    } else {
        return PyLong_FromUnsignedLongLong(value);
    }
}

// Inserts a new reference (null after a failed conversion) under `key`.
bool set_item(PyObject* dict, PyObject* key, PyObject* new_value,
              SourceLocation where = SourceLocation::current())
{
    PyRef value = PyRef::steal(new_value);
    if (!value) {
        raise_fault(Fault::ApiCallFailed, where);
        return false;
    }
    if (PyDict_SetItem(dict, key, value.get()) < 0) {
        raise_fault(Fault::DictInsertFailed, where);
        return false;
    }
    return true;
}

// Data goes in last: array_from raises its own faults, so a null here needs
// no second report.
bool set_data(PyObject* dict, PyObject* array)
{
    return array != nullptr && set_item(dict, module_state().data_key, array);
}

// Fills `dict` (taken over) with the event's header fields, in the order of
// the format's table, then its samples.
template <class Reader>
PyObject* fill_event_dict(PyRef dict, DecodedEvent<Reader>& event)
{
    using Header = typename Reader::Header;
    PyObject* const* keys = header_keys<Header>();
    bool ok = true;
    for_each_field<Header>([&](std::size_t i, const auto& field) {
        ok = ok && set_item(dict.get(), keys[i], int_from(event.header.*field.member));
    });
    if (ok && set_data(dict.get(), array_from(std::move(event.samples)))) {
        return dict.release();
    }
    return nullptr;
}

// Interns the names of the fields of `Header` into `keys` (new references
// each, kept only when all were made).
template <class Header>
bool intern_header_keys(PyRef (&keys)[kFieldCount<Header>])
{
    bool ok = true;
    for_each_field<Header>([&](std::size_t i, const auto& field) {
        if (ok) {
            keys[i] = PyRef::steal(PyUnicode_InternFromString(field.name));
            ok = static_cast<bool>(keys[i]);
        }
    });
    return ok;
}

}  // namespace

bool intern_event_keys()
{
    ModuleState& state = module_state();
    if (state.data_key != nullptr) {
        return true;  // an earlier initialisation that failed later got this far
    }
    PyRef wd1[kFieldCount<WD1Header>];
    PyRef wd2[kFieldCount<WD2Header>];
    PyRef data = PyRef::steal(PyUnicode_InternFromString("data"));
    if (!data || !intern_header_keys<WD1Header>(wd1) || !intern_header_keys<WD2Header>(wd2)) {
        return false;
    }
    for (std::size_t i = 0; i < std::size(wd1); ++i) {
        state.wd1_keys[i] = wd1[i].release();
    }
    for (std::size_t i = 0; i < std::size(wd2); ++i) {
        state.wd2_keys[i] = wd2[i].release();
    }
    state.data_key = data.release();
    return true;
}

PyObject* new_event_dict()
{
#if PY_VERSION_HEX < 0x030D0000
    PyObject* dict = _PyDict_NewPresized(kEventKeyCount);
#else
    PyObject* dict = PyDict_New();
#endif
    if (dict == nullptr) {
        raise_fault(Fault::ApiCallFailed);
    }
    return dict;
}

PyObject* build_event_dict(PyRef dict, DecodedEvent<WD1Reader>& event)
{
    return fill_event_dict(std::move(dict), event);
}

PyObject* build_event_dict(PyRef dict, DecodedEvent<WD2Reader>& event)
{
    return fill_event_dict(std::move(dict), event);
}

}  // namespace vesk
