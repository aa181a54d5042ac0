#include "event_dict.hpp"

#include "faults.hpp"
#include "numpy_bridge.hpp"
#include "state.hpp"

namespace vesk {

namespace {

constexpr const char* kKeyNames[kKeyCount] = {
    "event_size", "board_id", "pattern",         "board_channel", "event_counter",
    "timestamp",  "samples",  "sampling_period", "channels",      "data",
};

constexpr Py_ssize_t kEventKeyCount = 7;  // WD1: six header words and "data"; WD2: five and "data"

// Inserts a new reference (null after a failed conversion) under `key`.
bool set_item(PyObject* dict, Key key, PyObject* new_value, SourceLocation where = SourceLocation::current())
{
    PyRef value = PyRef::steal(new_value);
    if (!value) {
        raise_fault(Fault::ApiCallFailed, where);
        return false;
    }
    if (PyDict_SetItem(dict, module_state().keys[key], value.get()) < 0) {
        raise_fault(Fault::DictInsertFailed, where);
        return false;
    }
    return true;
}

// Data goes in last: array_from raises its own faults, so a null here needs
// no second report.
bool set_data(PyObject* dict, PyObject* array)
{
    return array != nullptr && set_item(dict, kData, array);
}

}  // namespace

bool intern_event_keys()
{
    if (module_state().keys[0] != nullptr) {
        return true;  // an earlier initialisation that failed later got this far
    }
    PyRef strings[kKeyCount];
    for (std::size_t i = 0; i < kKeyCount; ++i) {
        strings[i] = PyRef::steal(PyUnicode_InternFromString(kKeyNames[i]));
        if (!strings[i]) {
            return false;
        }
    }
    for (std::size_t i = 0; i < kKeyCount; ++i) {
        module_state().keys[i] = strings[i].release();
    }
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
    PyObject* d = dict.get();
    const WD1Header& h = event.header;
    if (set_item(d, kEventSize, PyLong_FromLong(h.event_size))
        && set_item(d, kBoardId, PyLong_FromLong(h.board_id))
        && set_item(d, kPattern, PyLong_FromLong(h.pattern))
        && set_item(d, kBoardChannel, PyLong_FromLong(h.board_channel))
        && set_item(d, kEventCounter, PyLong_FromLong(h.event_counter))
        && set_item(d, kTimestamp, PyLong_FromLong(h.timestamp))
        && set_data(d, array_from(std::move(event.samples)))) {
        return dict.release();
    }
    return nullptr;
}

PyObject* build_event_dict(PyRef dict, DecodedEvent<WD2Reader>& event)
{
    PyObject* d = dict.get();
    const WD2Header& h = event.header;
    if (set_item(d, kEventCounter, PyLong_FromUnsignedLong(h.event_counter))
        && set_item(d, kTimestamp, PyLong_FromUnsignedLongLong(h.timestamp))
        && set_item(d, kSamples, PyLong_FromUnsignedLong(h.samples))
        && set_item(d, kSamplingPeriod, PyLong_FromUnsignedLongLong(h.sampling_period))
        && set_item(d, kChannels, PyLong_FromLong(h.channels))
        && set_data(d, array_from(std::move(event.samples)))) {
        return dict.release();
    }
    return nullptr;
}

}  // namespace vesk
