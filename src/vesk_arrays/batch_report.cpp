#include "batch_report.hpp"

#include <array>
#include <cstddef>
#include <string_view>

#include "batch_stream.hpp"
#include "formats.hpp"

namespace vesk {

namespace {

PyObject* new_ref(PyObject* object)
{
    Py_INCREF(object);
    return object;
}

PyTypeObject* report_type = nullptr;
PyTypeObject* damage_type = nullptr;
PyTypeObject* mapped_type = nullptr;

// Field names and their order are the package's to read by name; the order
// stays so that a report unpacks as the tuple it once was.
PyStructSequence_Field report_fields[] = {
    {"first_index", "the index of the call's first event"},
    {"damaged", "Damage records of the damaged events met (the first few)"},
    {"damaged_count", "how many damaged events were met"},
    {"skipped", "(start, stop) byte ranges skipped (the first few)"},
    {"error", "the exception that ended the call, or None"},
    {"at_end", "whether the call met the end of the bytes"},
    {"stop_index", "just past the call's last event"},
    {"skipped_bytes", "how many bytes were skipped"},
    {nullptr, nullptr},
};
PyStructSequence_Desc report_desc = {
    .name = "vesk_arrays._core.Report",
    .doc = "What a read or skip met besides its events.",
    .fields = report_fields,
    .n_in_sequence = 8,
};

PyStructSequence_Field damage_fields[] = {
    {"event_index", "the event's index in the file (damaged events count)"},
    {"offset", "where its header starts"},
    {"stop", "the end of the bytes skipped for it"},
    {"resume_at", "where reading went on, or None: the end"},
    {"kind", "one of DAMAGE_KINDS"},
    {nullptr, nullptr},
};
PyStructSequence_Desc damage_desc = {
    .name = "vesk_arrays._core.Damage",
    .doc = "One damaged event met by a call.",
    .fields = damage_fields,
    .n_in_sequence = 5,
};

PyStructSequence_Field mapped_fields[] = {
    {"mapping", "the whole file's mapping, a uint8 array"},
    {"starts", "the byte at which each event's samples start in it"},
    {"stride", "the bytes from one event's samples to the next's, where all are alike; else -1"},
    {nullptr, nullptr},
};
PyStructSequence_Desc mapped_desc = {
    .name = "vesk_arrays._core.MappedSamples",
    .doc = "Where the samples of a batch of a mapped file lie.",
    .fields = mapped_fields,
    .n_in_sequence = 3,
};

// The damage kinds' names, by DamageKind: the package tells them apart by name.
constexpr std::array<std::pair<DamageKind, const char*>, 4> kDamageKindNames = {{
    {DamageKind::Header, "header"},
    {DamageKind::Overlong, "overlong"},
    {DamageKind::Overlaps, "overlaps"},
    {DamageKind::Unconfirmed, "unconfirmed"},
}};
static_assert([] {
    for (std::size_t i = 0; i < kDamageKindNames.size(); ++i) {
        if (static_cast<std::size_t>(kDamageKindNames[i].first) != i) {
            return false;
        }
    }
    return true;
}());
// Interned once, handed out with every record.
PyObject* damage_kind_names[kDamageKindNames.size()] = {};

// A {name: value} dict of `pairs`.
template <class Pairs>
PyRef named_values(const Pairs& pairs)
{
    PyRef dict = PyRef::steal(PyDict_New());
    for (const auto& [name, value] : pairs) {
        PyRef number = PyRef::steal(dict ? PyLong_FromLong(static_cast<long>(value)) : nullptr);
        if (!number || PyDict_SetItemString(dict.get(), name, number.get()) < 0) {
            return PyRef();
        }
    }
    return dict;
}

bool add_object(PyObject* module, const char* name, PyRef value)
{
    if (!value || PyModule_AddObject(module, name, value.get()) < 0) {
        return false;
    }
    value.release();
    return true;
}

PyObject* damage_record(const Damage& damage)
{
    PyRef record = PyRef::steal(PyStructSequence_New(damage_type));
    if (!record) {
        return nullptr;
    }
    PyObject* resume = damage.resume_at ? PyLong_FromUnsignedLongLong(*damage.resume_at) : new_ref(Py_None);
    PyObject* values[] = {PyLong_FromUnsignedLongLong(damage.index),
                          PyLong_FromUnsignedLongLong(damage.offset),
                          PyLong_FromUnsignedLongLong(damage.stop), resume,
                          new_ref(damage_kind_names[static_cast<std::size_t>(damage.kind)])};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 5; ++i) {
        ok = ok && values[i] != nullptr;
        PyStructSequence_SET_ITEM(record.get(), i, values[i]);  // null is left for the dealloc
    }
    return ok ? record.release() : nullptr;
}

}  // namespace

PyObject* mapped_samples(PyObject* mapping, PyObject* starts, long long stride)
{
    PyRef samples = PyRef::steal(PyStructSequence_New(mapped_type));
    PyObject* stride_object = samples ? PyLong_FromLongLong(stride) : nullptr;
    if (stride_object == nullptr) {
        return nullptr;
    }
    PyStructSequence_SET_ITEM(samples.get(), 0, new_ref(mapping));
    PyStructSequence_SET_ITEM(samples.get(), 1, new_ref(starts));
    PyStructSequence_SET_ITEM(samples.get(), 2, stride_object);
    return samples.release();
}

bool add_boundary(PyObject* module)
{
    if (report_type == nullptr) {
        report_type = PyStructSequence_NewType(&report_desc);
        damage_type = report_type != nullptr ? PyStructSequence_NewType(&damage_desc) : nullptr;
        mapped_type = damage_type != nullptr ? PyStructSequence_NewType(&mapped_desc) : nullptr;
        if (mapped_type == nullptr) {
            return false;
        }
        for (std::size_t i = 0; i < kDamageKindNames.size(); ++i) {
            damage_kind_names[i] = PyUnicode_InternFromString(kDamageKindNames[i].second);
            if (damage_kind_names[i] == nullptr) {
                return false;
            }
        }
    }
    PyRef kinds = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kDamageKindNames.size())));
    for (std::size_t i = 0; kinds && i < kDamageKindNames.size(); ++i) {
        PyTuple_SET_ITEM(kinds.get(), static_cast<Py_ssize_t>(i), new_ref(damage_kind_names[i]));
    }
    PyRef reasons = PyRef::steal(PyDict_New());
    for_each_format([&]<class Reader>(Format format, std::type_identity<Reader>) {
        PyRef text = PyRef::steal(
            reasons ? PyUnicode_FromString(kDamagedHeaderReasons[static_cast<std::size_t>(format)])
                    : nullptr);
        const std::string name(kFormatNames[static_cast<std::size_t>(format)]);
        if (!text || PyDict_SetItemString(reasons.get(), name.c_str(), text.get()) < 0) {
            reasons = PyRef();
        }
    });
    constexpr std::pair<const char*, LayoutRequest> layouts[] = {
        {"probe", LayoutRequest::Probe},
        {"multi-channel", LayoutRequest::MultiChannel},
        {"single-channel", LayoutRequest::SingleChannel}};
    constexpr std::pair<const char*, ReadAheadMode> modes[] = {{"never", ReadAheadMode::Never},
                                                               {"always", ReadAheadMode::Always},
                                                               {"small-events", ReadAheadMode::SmallEvents}};
    static_assert(std::size(layouts) == kLayoutRequestCount && std::size(modes) == kReadAheadModeCount);
    return add_object(module, "Report", PyRef::borrow(reinterpret_cast<PyObject*>(report_type)))
           && add_object(module, "Damage", PyRef::borrow(reinterpret_cast<PyObject*>(damage_type)))
           && add_object(module, "MappedSamples", PyRef::borrow(reinterpret_cast<PyObject*>(mapped_type)))
           && add_object(module, "DAMAGE_KINDS", std::move(kinds))
           && add_object(module, "DAMAGED_HEADER_REASONS", std::move(reasons))
           && add_object(module, "LAYOUTS", named_values(layouts))
           && add_object(module, "READ_AHEAD_MODES", named_values(modes))
           && add_object(module, "MAX_DAMAGE_RECORDS", PyRef::steal(PyLong_FromSize_t(kMaxDamageRecords)));
}

PyObject* make_report(const FillEnd& end, PyObject* error)
{
    PyRef damaged = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(end.damaged.size())));
    if (!damaged) {
        return nullptr;
    }
    for (std::size_t i = 0; i < end.damaged.size(); ++i) {
        PyObject* record = damage_record(end.damaged[i]);
        if (record == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(damaged.get(), static_cast<Py_ssize_t>(i), record);
    }
    const auto& ranges = end.skipped.ranges();
    PyRef skipped = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
    if (!skipped) {
        return nullptr;
    }
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        PyObject* item = Py_BuildValue("(KK)", static_cast<unsigned long long>(ranges[i].first),
                                       static_cast<unsigned long long>(ranges[i].second));
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(skipped.get(), static_cast<Py_ssize_t>(i), item);
    }
    PyRef report = PyRef::steal(PyStructSequence_New(report_type));
    if (!report) {
        return nullptr;
    }
    PyObject* values[] = {
        PyLong_FromUnsignedLongLong(end.first_index),   damaged.release(),
        PyLong_FromUnsignedLongLong(end.damaged_count), skipped.release(),
        new_ref(error != nullptr ? error : Py_None),    PyBool_FromLong(end.outcome == Outcome::End),
        PyLong_FromUnsignedLongLong(end.stop_index),    PyLong_FromUnsignedLongLong(end.skipped.bytes())};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        ok = ok && values[i] != nullptr;
        PyStructSequence_SET_ITEM(report.get(), i, values[i]);
    }
    if (!ok) {
        return nullptr;
    }
    // PyStructSequence_New leaves the object untracked, and a report holds the
    // exception that ended its call, whose traceback may lead back to it.
    if (!PyObject_GC_IsTracked(report.get())) {
        PyObject_GC_Track(report.get());
    }
    return report.release();
}

}  // namespace vesk
