// Whether this process is a copy made by fork of a process whose OpenMP runtime may hold worker
// threads. The copy keeps the runtime's record of those threads, but not the threads: in GNU
// libgomp its next team of more than one waits for them forever. So no such team starts in a copy
// (team_size_granted gives one thread).
#pragma once

namespace core {

// True in a copy made by fork of a process that had started, or was about to start, a team of more
// than one thread (any of the modules), also where the copy's parent has ended or exec'd another
// program. A program started by exec is no copy, whatever the process that started it. Called
// before every team of more than one: the first call in a process that finds no mark marks it (see
// fork_copy.cpp).
bool fork_copy();

}  // namespace core
