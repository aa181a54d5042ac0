#include "batch_arrays.hpp"

#include <cstdlib>
#include <memory>
#include <new>

namespace vesk {

namespace {

void free_capsule_block(PyObject* capsule)
{
    std::free(PyCapsule_GetContext(capsule));
}

// A block whose arrays are all gone goes back to its reader's pool, which
// lives as long as a block of it does.
struct PooledBlock {
    HeapBlock block;
    std::shared_ptr<BlockPool> pool;
};

void give_back_capsule_block(PyObject* capsule)
{
    std::unique_ptr<PooledBlock> pooled(static_cast<PooledBlock*>(PyCapsule_GetContext(capsule)));
    pooled->pool->give_back(pooled->block);
}

void release_mapping(PyObject* capsule)
{
    delete static_cast<std::shared_ptr<FileMapping>*>(PyCapsule_GetContext(capsule));
}

}  // namespace

PyObject* mapping_array(const std::shared_ptr<FileMapping>& mapping)
{
    auto held = std::make_unique<std::shared_ptr<FileMapping>>(mapping);
    PyRef owner = PyRef::steal(PyCapsule_New(mapping->data(), "vesk_arrays.mapping", release_mapping));
    if (!owner || PyCapsule_SetContext(owner.get(), held.get()) < 0) {
        return nullptr;
    }
    held.release();
    return arrays_module_state().numpy.array_over(NumpyApi::Dtype::UInt8, mapping->size(), mapping->data(),
                                                  owner.release());
}

bool set_column(PyObject* columns, const char* name, PyObject* array)
{
    PyRef owned = PyRef::steal(array);
    if (!owned) {
        return false;
    }
    PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
    return key && PyDict_SetItem(columns, key.get(), owned.get()) == 0;
}

PyObject* array_from_block(GrowableBlock& block, NumpyApi::Dtype dtype, std::size_t length,
                           const std::shared_ptr<BlockPool>& pool)
{
    std::byte* data = block.capacity() != 0 ? block.data() : detail::empty_storage;
    // The capsule's pointer is where the data starts; its context is the heap
    // block to free, or to give back to the pool.
    std::unique_ptr<PooledBlock> pooled;
    if (pool && block.capacity() != 0) {
        pooled.reset(new (std::nothrow) PooledBlock{.pool = pool});
    }
    PyRef owner = PyRef::steal(
        PyCapsule_New(data, "vesk_arrays.block", pooled ? give_back_capsule_block : free_capsule_block));
    if (!owner) {
        return nullptr;
    }
    void* context = nullptr;
    if (pooled) {
        pooled->block = block.release();
        context = pooled.release();
    } else {
        context = block.release().base;
    }
    if (PyCapsule_SetContext(owner.get(), context) < 0) {
        return nullptr;  // cannot fail for a capsule just made
    }
    return arrays_module_state().numpy.array_over(dtype, length, data, owner.release());
}

}  // namespace vesk
