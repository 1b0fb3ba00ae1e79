// Running native work with the interpreter lock released.
#pragma once

#include <Python.h>

namespace arbolite::module {

// Runs `work` with the interpreter lock released and takes the lock again
// afterwards, also when `work` throws. `work` must not touch any Python
// object: it sees only native data copied or borrowed beforehand.
template <class Work>
auto without_lock(Work&& work) {
    struct Relock {
        PyThreadState* state;
        ~Relock() { PyEval_RestoreThread(state); }
    } relock{PyEval_SaveThread()};
    return work();
}

}  // namespace arbolite::module
