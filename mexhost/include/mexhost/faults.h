/* mexhost's stand-ins for a host's failures, for tests. */
#ifndef MEXHOST_FAULTS_H
#define MEXHOST_FAULTS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* From now on an mxCreate* call for more than `bytes` bytes of data raises an error, as Octave's
   host does when it cannot allocate: "<prefix>: failed to allocate N bytes of memory". 0 turns it off. */
void mexhost_raise_on_allocations_above(size_t bytes, const char *prefix);

#ifdef __cplusplus
}
#endif

#endif
