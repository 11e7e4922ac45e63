// The sparse rows of stochl1_bench: a random sparse X made in memory as a host holds it (compressed
// columns), the conversion to compressed rows, kinkstep method 0's steps on it against a loop that
// does only each row's dot product and touched updates, and memory.
#pragma once

namespace bench {

// stochl1_bench sparse N D perRow steps repeats
int sparse(char **args);
// stochl1_bench sparse_file PATH steps stepSize lambda repeats: the same on X and y from a file of
// compressed columns (the bag of words)
int sparse_file(char **args);
// stochl1_bench sparse_rss N D perRow steps: peak memory of one whole kinkstep method 0 call
int sparse_rss(char **args);
// stochl1_bench sparse_dense N D steps repeats: a dense X given as sparse against the dense call
int sparse_dense(char **args);
// stochl1_bench sparse_call N D perRow steps lambda repeats: the whole kinkstep call a user makes
int sparse_call(char **args);

}  // namespace bench
