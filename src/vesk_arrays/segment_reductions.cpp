#include "segment_reductions.hpp"

#include <cstdint>
#include <cstring>
#include <span>

#include "py_buffer.hpp"
#include "py_errors.hpp"
#include "released_interpreter.hpp"
#include "segment_reduce.hpp"

namespace vesk {

namespace {

constexpr const char* kOps[] = {"min", "max", "sum", "mean", "argmin", "argmax"};

bool is_int64(const PyBufferView& column)
{
    return column.holds("l", sizeof(std::int64_t)) || column.holds("q", sizeof(std::int64_t));
}

// The struct code and size of an op's result for the samples.
bool result_fits(const PyBufferView& results, Reduction op, bool floats)
{
    switch (op) {
    case Reduction::Min:
    case Reduction::Max:
        return floats ? results.holds("f", sizeof(float)) : results.holds("H", sizeof(std::uint16_t));
    case Reduction::Sum:
        return floats
                   ? results.holds("f", sizeof(float))
                   : results.holds("L", sizeof(std::uint64_t)) || results.holds("Q", sizeof(std::uint64_t));
    case Reduction::Mean:
        return floats ? results.holds("f", sizeof(float)) : results.holds("d", sizeof(double));
    case Reduction::ArgMin:
    case Reduction::ArgMax: return is_int64(results);
    }
    return false;
}

}  // namespace

PyObject* reduce_segments(PyObject*, PyObject* args)
{
    PyObject *buffer_object, *starts_object, *lengths_object, *empty_object, *results_object;
    const char *sample, *op_name;
    long long start = 0, stop = 0;
    Py_ssize_t sum_block = 0;
    int sums_aligned_whole = 0;
    if (!PyArg_ParseTuple(args, "OsOOsLLnpOO", &buffer_object, &sample, &starts_object, &lengths_object,
                          &op_name, &start, &stop, &sum_block, &sums_aligned_whole, &empty_object,
                          &results_object)) {
        return nullptr;
    }
    SegmentReduction job{
        .window_start = start, .window_stop = stop, .sums_aligned_whole = sums_aligned_whole != 0};
    bool known = false;
    for (std::size_t i = 0; i < std::size(kOps); ++i) {
        if (std::strcmp(op_name, kOps[i]) == 0) {
            job.op = static_cast<Reduction>(i);
            known = true;
        }
    }
    const bool floats = std::strcmp(sample, "f") == 0;
    if (!known || (!floats && std::strcmp(sample, "H") != 0) || sum_block < 0) {
        raise_formatted(PyExc_ValueError, "no reduction %s of samples %s", op_name, sample);
        return nullptr;
    }
    job.sample = floats ? SampleType::Float32 : SampleType::UInt16;
    job.sum_block = static_cast<std::size_t>(sum_block);
    // The samples are only read: a read-only buffer (a file's mapping) will do.
    PyBufferView buffer, starts, lengths, results, empty;
    const bool has_empty = empty_object != Py_None;
    if (!buffer.get(buffer_object, PyBUF_SIMPLE) || !starts.get(starts_object, PyBUF_FORMAT)
        || !lengths.get(lengths_object, PyBUF_FORMAT)
        || !results.get(results_object, PyBUF_WRITABLE | PyBUF_FORMAT)
        || (has_empty && !empty.get(empty_object, PyBUF_FORMAT))) {
        return nullptr;
    }
    job.count = starts.size();
    if (!is_int64(starts) || !is_int64(lengths) || lengths.size() != job.count || results.size() != job.count
        || !result_fits(results, job.op, floats)
        || (has_empty && (empty.size() != 1 || !result_fits(empty, job.op, floats)))) {
        PyErr_SetString(PyExc_ValueError,
                        "segment starts and lengths, and the results, of other types or sizes");
        return nullptr;
    }
    job.bytes = std::span(buffer.data<const std::byte>(), buffer.bytes());
    job.starts = starts.data<const std::int64_t>();
    job.lengths = lengths.data<const std::int64_t>();
    job.results = results.data<void>();
    job.empty = has_empty ? empty.data<const void>() : nullptr;
    ReductionOutcome outcome;
    {
        // The buffers stay exported (a mapping cannot be closed) while other threads go on.
        ReleasedInterpreter released;
        outcome = vesk::reduce_segments(job);
    }
    if (outcome.bad_segment >= 0) {
        raise_formatted(PyExc_ValueError, "segment %lld does not lie within the buffer of %zd bytes",
                        static_cast<long long>(outcome.bad_segment), static_cast<Py_ssize_t>(buffer.bytes()));
        return nullptr;
    }
    return PyLong_FromLongLong(outcome.empty_segment);
}

}  // namespace vesk
