// Readers across a fork. A forked child has only the thread that forked: a
// reader's mutex held by another thread at that moment stays held for ever in
// the child, and the call it guarded is half done there. Before the fork every
// reader's mutex is taken where it is free (a batch being read ahead finished
// first) and kept across the fork, so that no call starts meanwhile; a reader
// whose mutex another thread holds is marked, and in the child it refuses every
// call at once (see ReaderState::lost_at_fork).
#pragma once

#include "reader_state.hpp"

namespace vesk {

// For each reader from its creation to its end; the first also installs the
// hooks that every fork runs.
void register_reader(ReaderState& state);
void unregister_reader(ReaderState& state);

}  // namespace vesk
