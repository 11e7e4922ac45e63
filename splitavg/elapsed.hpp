// The whole seconds that splitavg prints with its final objective: the start reading is cut to
// whole seconds first, so the count is that of the clock's second marks passed during the run.
#pragma once

namespace splitavg {

// A clock reading truncated toward zero to whole seconds. Kept as a double, which holds every whole
// number of seconds exactly, so readings of 2^31 s or more are cut correctly rather than
// overflowing a 32-bit count.
double whole_seconds(double reading);

// trunc(now - start_whole_seconds). Never negative and never wrapped: a clock that reads earlier
// than the start, or a NaN, gives 0; a count beyond unsigned long gives its largest value.
unsigned long elapsed_seconds(double start_whole_seconds, double now);

}  // namespace splitavg
