// Whether this process is a copy made by fork of a process in which these modules ran (or were
// about to run) a team of more than one thread. The copy keeps the OpenMP runtime's record of the
// worker threads, but not the threads: in GNU libgomp its next team of more than one waits for
// them forever. So no such team starts in a copy (team_size_granted gives one thread).
#pragma once

namespace core {

// True in such a copy, also where the copy's parent has ended or exec'd another program. A program
// started by exec is no copy, whatever the process that started it. Teams that other libraries
// started in the process (an OpenMP BLAS) are not known here. Called before every team of more
// than one: the first call in a process that finds no mark marks it (see fork_copy.cpp).
bool fork_copy();

}  // namespace core
