/* mexhost's stand-in for a host's Ctrl-C: a module asks whether an interrupt is pending; a test
   arranges one to become pending at the k-th question. */
#ifndef MEXHOST_INTERRUPT_H
#define MEXHOST_INTERRUPT_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

bool mexhost_interrupt_pending(void);
void mexhost_interrupt_clear(void);
/* The interrupt becomes pending at question number `checks` (1 = the first); 0 cancels it. */
void mexhost_interrupt_after(long checks);
/* How many times a module has asked since the last mexhost_interrupt_after. */
long mexhost_interrupt_checks(void);

#ifdef __cplusplus
}
#endif

#endif
