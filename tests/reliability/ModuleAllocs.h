// Watches the module's own non-throwing allocations (new (std::nothrow) in
// libqmxconfweba.so) without touching module code: the test program defines
// the global nothrow operator new and every operator delete, so the dynamic
// linker binds the module's calls to them, and they hand on to the next
// definition (libstdc++'s, or the sanitizer's). An allocation counts as the
// module's when its caller lies inside libqmxconfweba.so.
//
// What it gives:
// - the number of the module's objects alive right now (a leak shows as a
//   count that grows from round to round);
// - a way to make the n-th of the module's allocations on the owner thread
//   fail (allocation-failure torture).
#ifndef QMX_TESTS_RELIABILITY_MODULEALLOCS_H
#define QMX_TESTS_RELIABILITY_MODULEALLOCS_H

#include <cstddef>

namespace relalloc {

// Objects allocated by the module and not deleted yet (all threads).
size_t LiveObjects();

// From now on, count the module's allocations on the calling thread and make
// the n-th fail (n = 0: count only). Resets the count.
void ArmFailure(size_t n);
// True once the armed failure was handed out (on the calling thread).
bool FailureInjected();
// Stops counting and failing.
void Disarm();

// True when libqmxconfweba.so was found in the process (the counters are
// meaningless otherwise).
bool ModuleFound();

}  // namespace relalloc

#endif
