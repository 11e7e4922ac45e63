/* mexhost's stand-ins for what a progress line asks of its host: whether the output is a terminal
   (by default not: mexhost captures it) and a clock that a test can run by hand, so that the
   updates a run draws do not depend on how fast the machine is. */
#ifndef MEXHOST_DISPLAY_H
#define MEXHOST_DISPLAY_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

bool mexhost_output_is_terminal(void);
void mexhost_set_output_terminal(bool terminal);

/* Seconds: the steady clock, or, after mexhost_clock_by_hand(per_question, per_reading) with
   either step > 0, a clock that starts at 0 and moves on by `per_question` seconds each time the
   module asks whether an interrupt is pending (its work runs between questions; the question its
   output asks right after printing, before a flush, follows no work and takes no time) and by
   `per_reading` at every reading of this clock (so that drawing costs time too). Both 0 go back
   to the steady clock. */
double mexhost_clock_seconds(void);
void mexhost_clock_by_hand(double per_question, double per_reading);
/* Readings of the clock since the last mexhost_clock_by_hand. */
long mexhost_clock_readings(void);

#ifdef __cplusplus
}
#endif

#endif
