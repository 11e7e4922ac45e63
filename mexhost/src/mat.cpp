// libmat stand-in: the MAT-file library that MATLAB links into some modules. Nothing here is
// called; it exists so that a module links against mexhost exactly as it links against MATLAB.
extern "C" int mexhost_mat_present(void) {
  return 1;
}
