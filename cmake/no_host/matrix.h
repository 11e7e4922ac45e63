// Put first on the include path of the host-free code (core/ and the solvers): including the MEX
// API there fails the build.
#error "host-free code includes matrix.h; the MEX frame lives in frame/"
