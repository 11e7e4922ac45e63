/* mexhost: the subset of the MATLAB MEX API (libmex) that our modules use. */
#ifndef MEXHOST_MEX_H
#define MEXHOST_MEX_H

#include "matrix.h"

#ifdef __cplusplus
extern "C" {
#endif

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

int mexPrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void mexErrMsgIdAndTxt(const char *id, const char *fmt, ...) __attribute__((noreturn, format(printf, 2, 3)));
void mexErrMsgTxt(const char *msg) __attribute__((noreturn));
void mexWarnMsgIdAndTxt(const char *id, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
const char *mexFunctionName(void);
/* Evaluates nothing: takes a few microseconds like a host's evaluation and records the command
   (and how much had been printed before it) for the tests. */
int mexEvalString(const char *command);

#ifdef __cplusplus
}
#endif

#endif
