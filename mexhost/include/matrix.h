/* mexhost: the subset of the MATLAB matrix API (libmx) that our modules and tests use.
   Names, types and enumerator values follow the MATLAB headers so that a module compiles
   unchanged against this header, MATLAB's and Octave's. */
#ifndef MEXHOST_MATRIX_H
#define MEXHOST_MATRIX_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef size_t mwSize;
typedef size_t mwIndex;
typedef ptrdiff_t mwSignedIndex;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS,
  mxSTRUCT_CLASS,
  mxLOGICAL_CLASS,
  mxCHAR_CLASS,
  mxVOID_CLASS,
  mxDOUBLE_CLASS,
  mxSINGLE_CLASS,
  mxINT8_CLASS,
  mxUINT8_CLASS,
  mxINT16_CLASS,
  mxUINT16_CLASS,
  mxINT32_CLASS,
  mxUINT32_CLASS,
  mxINT64_CLASS,
  mxUINT64_CLASS,
  mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

typedef bool mxLogical;
typedef uint16_t mxChar;

typedef struct mxArray_tag mxArray;

/* Shape and class */
size_t mxGetM(const mxArray *pa);
size_t mxGetN(const mxArray *pa);
size_t mxGetNumberOfElements(const mxArray *pa);
mwSize mxGetNumberOfDimensions(const mxArray *pa);
const mwSize *mxGetDimensions(const mxArray *pa);
mxClassID mxGetClassID(const mxArray *pa);
const char *mxGetClassName(const mxArray *pa);
bool mxIsDouble(const mxArray *pa);
bool mxIsSingle(const mxArray *pa);
bool mxIsComplex(const mxArray *pa);
bool mxIsSparse(const mxArray *pa);
bool mxIsNumeric(const mxArray *pa);
bool mxIsLogical(const mxArray *pa);
bool mxIsChar(const mxArray *pa);
bool mxIsCell(const mxArray *pa);
bool mxIsStruct(const mxArray *pa);
bool mxIsEmpty(const mxArray *pa);
bool mxIsInt32(const mxArray *pa);

/* Data */
double *mxGetPr(const mxArray *pa);
double *mxGetPi(const mxArray *pa);
void *mxGetData(const mxArray *pa);
mxLogical *mxGetLogicals(const mxArray *pa);
/* Sparse arrays, in compressed columns: column j's entries are Jc[j] .. Jc[j+1]-1 of Ir (their rows,
   increasing) and of the data (mxGetPr, or mxGetLogicals for a sparse logical array). */
mwIndex *mxGetIr(const mxArray *pa);
mwIndex *mxGetJc(const mxArray *pa);
mwSize mxGetNzmax(const mxArray *pa);
double mxGetScalar(const mxArray *pa);

/* Creation and release */
mxArray *mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity flag);
mxArray *mxCreateDoubleScalar(double value);
mxArray *mxCreateNumericMatrix(mwSize m, mwSize n, mxClassID classid, mxComplexity flag);
mxArray *mxCreateNumericArray(mwSize ndim, const mwSize *dims, mxClassID classid, mxComplexity flag);
mxArray *mxCreateLogicalMatrix(mwSize m, mwSize n);
mxArray *mxCreateLogicalScalar(bool value);
mxArray *mxCreateSparse(mwSize m, mwSize n, mwSize nzmax, mxComplexity flag);
mxArray *mxCreateSparseLogicalMatrix(mwSize m, mwSize n, mwSize nzmax);
mxArray *mxCreateString(const char *str);
int mxGetString(const mxArray *pa, char *buf, mwSize buflen);
mxArray *mxCreateCellMatrix(mwSize m, mwSize n);
mxArray *mxCreateStructMatrix(mwSize m, mwSize n, int nfields, const char **fieldnames);
void mxDestroyArray(mxArray *pa);

/* Cells and structs */
mxArray *mxGetCell(const mxArray *pa, mwIndex i);
void mxSetCell(mxArray *pa, mwIndex i, mxArray *value);
int mxGetNumberOfFields(const mxArray *pa);
const char *mxGetFieldNameByNumber(const mxArray *pa, int n);
mxArray *mxGetField(const mxArray *pa, mwIndex i, const char *fieldname);
void mxSetField(mxArray *pa, mwIndex i, const char *fieldname, mxArray *value);

/* Memory */
void *mxMalloc(size_t n);
void *mxCalloc(size_t n, size_t size);
void mxFree(void *ptr);

/* Floating point */
bool mxIsFinite(double v);
bool mxIsInf(double v);
bool mxIsNaN(double v);

#ifdef __cplusplus
}
#endif

#endif
