/*
 * tovrix.h - C interface of the stand-in solver library libtovrix.
 *
 * The library keeps environments, models and batch requests in memory. It
 * does no solving. Every call returns an int error code (0 = success) unless
 * its comment says otherwise. A NULL handle is refused with
 * TVX_ERROR_NULL_ARGUMENT and never dereferenced; calls that return a count
 * or a pointer instead of a code return 0 or NULL for a NULL handle. Every
 * failed call sets the last error message of the model (model calls) or of
 * the environment (environment and batch calls; for a batch, the batch's own
 * environment, see TVXgetbatchenv). A successful call leaves the message as
 * it was. On failure, output arguments are left untouched.
 *
 * Texts returned by the library stay the library's: a text stays valid until
 * the next call that changes it on the same object, or until the object is
 * freed. The one exception is the JSON text of TVXgetbatchjsonsolution, which
 * the caller frees with TVXfree. Texts passed in are copied.
 *
 * Elements, indices and pending changes
 * -------------------------------------
 * A model has four element kinds: variables (columns), linear constraints
 * (rows), quadratic constraints and general constraints.
 *  - Elements added since the last TVXupdatemodel are pending. The counts
 *    "NumVars", "NumConstrs", "NumQConstrs", "NumGenConstrs" count only the
 *    elements that existed at the last update.
 *  - Attribute calls address an element by its index as of the last update:
 *    0 <= index < count. A pending element has no index yet; any other index
 *    fails with TVX_ERROR_INDEX_OUT_OF_RANGE. Attributes of pending elements
 *    are given to the add call.
 *  - Model-building calls (add, delete) name an element by its position: its
 *    index as of the last update if it existed then, or count + k for the
 *    k-th element of its kind added since (k from 0). For variables this is
 *    the column used by TVXaddconstrs, TVXaddqconstr and TVXaddgenconstrnl.
 *  - A delete call records the removal; it takes effect at the next update.
 *    Until then the element keeps its index and its attributes (it can still
 *    be read, written and named in add calls). Deleting an element twice, or
 *    deleting a pending one, is allowed (a pending one then never appears).
 *  - TVXupdatemodel drops the removed elements and appends the pending ones;
 *    survivors are renumbered in their order. Linear and quadratic
 *    constraints lose the terms of removed variables (their other terms keep
 *    their order, with renumbered columns); a general constraint whose
 *    result variable was removed keeps a result variable of -1.
 *  - Coefficients are stored as given: duplicate columns in a row are kept
 *    as separate terms.
 *
 * Solution
 * --------
 * TVXloadsolution gives values to all variables as of the last update (count
 * must equal "NumVars"). "X", "Slack" and "ObjVal" (and "ObjBound",
 * "ObjBoundC") fail with TVX_ERROR_DATA_NOT_AVAILABLE and "No solution
 * available" until then. "Slack" of a row is its RHS minus its activity at
 * the solution; "ObjVal" (and both bounds) is the sum of Obj times X. An
 * update that adds or removes variables discards the solution. "Status" is
 * TVX_LOADED (1) without and TVX_OPTIMAL (2) with a solution; "SolCount" is
 * 0 or 1.
 *
 * Attributes (type: c char, i int, d double, s string; * settable)
 *  model:     NumVars i, NumConstrs i, NumQConstrs i, NumGenConstrs i,
 *             ModelName s*, Status i, ObjVal d, ObjBound d, ObjBoundC d,
 *             IterCount d, BarIterCount i, NodeCount d, OpenNodeCount d,
 *             SolCount i
 *  variable:  LB d*, UB d*, Obj d*, Start d* (default TVX_UNDEFINED),
 *             VType c* ('C', 'B', 'I'), VarName s*, BranchPriority i*, X d
 *  linear:    RHS d*, Sense c* ('<', '>', '='), ConstrName s*, Lazy i*,
 *             Slack d
 *  quadratic: QCRHS d*, QCSense c*, QCName s*
 *  general:   GenConstrName s*
 * Attribute names are matched case-insensitively; TVXgetattrname gives their
 * canonical spelling. Model attributes are read only through the model calls,
 * element attributes only through the element and list calls.
 */
#ifndef TOVRIX_H
#define TOVRIX_H

#include <stdint.h>

#if defined(_WIN32)
#define TVX_API __declspec(dllexport)
#else
#define TVX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TVXenv TVXenv;
typedef struct TVXmodel TVXmodel;
typedef struct TVXbatch TVXbatch;

/* Error codes */
#define TVX_ERROR_OUT_OF_MEMORY 10001
#define TVX_ERROR_NULL_ARGUMENT 10002
#define TVX_ERROR_INVALID_ARGUMENT 10003
#define TVX_ERROR_UNKNOWN_ATTRIBUTE 10004
#define TVX_ERROR_DATA_NOT_AVAILABLE 10005
#define TVX_ERROR_INDEX_OUT_OF_RANGE 10006
#define TVX_ERROR_NOT_SUPPORTED 10007
#define TVX_ERROR_NOT_IN_MODEL 10008
#define TVX_ERROR_OPTIMIZATION_IN_PROGRESS 10009
#define TVX_ERROR_FILE_WRITE 10010
#define TVX_ERROR_BATCH_NOT_FOUND 10011
#define TVX_ERROR_INTERNAL 10012

/* Values */
#define TVX_INFINITY 1e100
#define TVX_UNDEFINED 1e101

/* Senses and variable types */
#define TVX_LESS_EQUAL '<'
#define TVX_GREATER_EQUAL '>'
#define TVX_EQUAL '='
#define TVX_CONTINUOUS 'C'
#define TVX_BINARY 'B'
#define TVX_INTEGER 'I'

/* Attribute data-type codes */
#define TVX_TYPE_CHAR 0
#define TVX_TYPE_INT 1
#define TVX_TYPE_DOUBLE 2
#define TVX_TYPE_STRING 3

/* Attribute object-kind codes */
#define TVX_KIND_MODEL 0
#define TVX_KIND_VAR 1
#define TVX_KIND_CONSTR 2
#define TVX_KIND_QCONSTR 4
#define TVX_KIND_GENCONSTR 5

/* Model "Status" values */
#define TVX_LOADED 1
#define TVX_OPTIMAL 2

/* Batch statuses */
#define TVX_BATCH_CREATED 1
#define TVX_BATCH_SUBMITTED 2
#define TVX_BATCH_ABORTED 3
#define TVX_BATCH_FAILED 4
#define TVX_BATCH_COMPLETED 5

/* Batch attribute flags: low 4 bits the data-type code, 0x10 read-only. */
#define TVX_BATCH_ATTR_TYPE_MASK 0xf
#define TVX_BATCH_ATTR_READONLY 0x10

/* ---------------------------------------------------------------- env -- */

/* Creates an environment. */
TVX_API int TVXemptyenv(TVXenv **envP);
/* Frees an environment. Models made in it may outlive the call: the
 * environment itself goes away with the last of them. */
TVX_API int TVXfreeenv(TVXenv *env);
/* Last error message of the environment ("" if none; NULL for NULL). */
TVX_API const char *TVXgeterrormsg(TVXenv *env);

/* -------------------------------------------------------------- model -- */

/* Creates an empty model; name may be NULL (""). */
TVX_API int TVXnewmodel(TVXenv *env, TVXmodel **modelP, const char *name);
TVX_API int TVXfreemodel(TVXmodel *model);
/* The environment the model was made in (NULL for NULL). */
TVX_API TVXenv *TVXgetenv(TVXmodel *model);
/* Last error message of the model ("" if none; NULL for NULL). */
TVX_API const char *TVXgetmerrormsg(TVXmodel *model);

/* Adds num pending variables. Any array may be NULL for its default:
 * lb 0, ub TVX_INFINITY, obj 0, vtype 'C', name "" (a NULL entry of names
 * is "" too). */
TVX_API int TVXaddvars(TVXmodel *model, int num, const double *lb, const double *ub,
                       const double *obj, const char *vtype, const char *const *names);

/* Adds numconstrs pending linear rows in CSR form: row i has the terms
 * beg[i] .. beg[i+1]-1 (the last row ends at numnz) of ind (columns) and val.
 * sense and rhs are required when numconstrs > 0; names may be NULL.
 * beg must be non-decreasing, within 0..numnz; ind within the columns. */
TVX_API int TVXaddconstrs(TVXmodel *model, int numconstrs, int64_t numnz, const int64_t *beg,
                          const int *ind, const double *val, const char *sense, const double *rhs,
                          const char *const *names);

/* Adds one pending quadratic constraint: linear terms lind/lval, quadratic
 * terms qval[k] * x[qrow[k]] * x[qcol[k]]; name may be NULL. */
TVX_API int TVXaddqconstr(TVXmodel *model, int numlnz, const int *lind, const double *lval,
                          int numqnz, const int *qrow, const int *qcol, const double *qval,
                          char sense, double rhs, const char *name);

/* Adds one pending general (nonlinear) constraint with its result variable
 * column resvar; name may be NULL. */
TVX_API int TVXaddgenconstrnl(TVXmodel *model, const char *name, int resvar);

/* Records the removal of num elements named by position (see above). */
TVX_API int TVXdelvars(TVXmodel *model, int num, const int *ind);
TVX_API int TVXdelconstrs(TVXmodel *model, int num, const int *ind);
TVX_API int TVXdelqconstrs(TVXmodel *model, int num, const int *ind);
TVX_API int TVXdelgenconstrs(TVXmodel *model, int num, const int *ind);

/* Applies pending additions and removals. */
TVX_API int TVXupdatemodel(TVXmodel *model);

/* Reads back the rows start .. start+len-1 (indices as of the last update).
 * *numnzP gets their number of terms; if beg, ind and val are all NULL only
 * the count is given, otherwise all three are filled: beg[len] starts,
 * relative to the first row read, ind/val of *numnzP entries each. */
TVX_API int TVXgetconstrs(TVXmodel *model, int64_t *numnzP, int64_t *beg, int *ind, double *val,
                          int start, int len);

/* Reads back quadratic constraint qconstr. *numlnzP and *numqnzP get the term
 * counts; each array that is not NULL is filled. */
TVX_API int TVXgetqconstr(TVXmodel *model, int qconstr, int *numlnzP, int *lind, double *lval,
                          int *numqnzP, int *qrow, int *qcol, double *qval);

/* Result variable column of general constraint genconstr (-1 if removed). */
TVX_API int TVXgetgenconstrnl(TVXmodel *model, int genconstr, int *resvarP);

/* ---------------------------------------------------------- attributes -- */

/* Data-type code, object-kind code and settable flag of an attribute;
 * datatypeP and settableP may be NULL. While the model is flagged as
 * optimizing (TVXsetoptimizing) every attribute but "Status",
 * "BarIterCount", "ObjVal", "ObjBound", "ObjBoundC", "IterCount",
 * "NodeCount", "OpenNodeCount" fails with
 * TVX_ERROR_OPTIMIZATION_IN_PROGRESS, here and in the get/set calls. */
TVX_API int TVXgetattrinfo(TVXmodel *model, const char *attrname, int *datatypeP, int *objkindP,
                           int *settableP);
/* Number of attributes (a count, not a code; 0 for NULL). */
TVX_API int TVXgetnumattributes(TVXmodel *model);
/* Canonical name of the attribute at position i (0 .. count-1). */
TVX_API int TVXgetattrname(TVXmodel *model, int i, const char **attrnameP);

TVX_API int TVXgetintattr(TVXmodel *model, const char *attrname, int *valueP);
TVX_API int TVXgetdblattr(TVXmodel *model, const char *attrname, double *valueP);
TVX_API int TVXgetstrattr(TVXmodel *model, const char *attrname, const char **valueP);
TVX_API int TVXsetintattr(TVXmodel *model, const char *attrname, int value);
TVX_API int TVXsetdblattr(TVXmodel *model, const char *attrname, double value);
TVX_API int TVXsetstrattr(TVXmodel *model, const char *attrname, const char *value);

TVX_API int TVXgetcharattrelement(TVXmodel *model, const char *attrname, int element, char *valueP);
TVX_API int TVXgetintattrelement(TVXmodel *model, const char *attrname, int element, int *valueP);
TVX_API int TVXgetdblattrelement(TVXmodel *model, const char *attrname, int element,
                                 double *valueP);
TVX_API int TVXgetstrattrelement(TVXmodel *model, const char *attrname, int element,
                                 const char **valueP);
TVX_API int TVXsetcharattrelement(TVXmodel *model, const char *attrname, int element, char value);
TVX_API int TVXsetintattrelement(TVXmodel *model, const char *attrname, int element, int value);
TVX_API int TVXsetdblattrelement(TVXmodel *model, const char *attrname, int element, double value);
TVX_API int TVXsetstrattrelement(TVXmodel *model, const char *attrname, int element,
                                 const char *value);

/* List forms: value i belongs to element ind[i]. A set call checks all
 * indices and values before it writes any. count 0 succeeds with NULL
 * arrays. */
TVX_API int TVXgetcharattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                               char *values);
TVX_API int TVXgetintattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              int *values);
TVX_API int TVXgetdblattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              double *values);
TVX_API int TVXgetstrattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              const char **values);
TVX_API int TVXsetcharattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                               const char *values);
TVX_API int TVXsetintattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              const int *values);
TVX_API int TVXsetdblattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              const double *values);
TVX_API int TVXsetstrattrlist(TVXmodel *model, const char *attrname, int count, const int *ind,
                              const char *const *values);

/* Succeeds for every known attribute. */
TVX_API int TVXprefetchattr(TVXmodel *model, const char *attrname);

/* ------------------------------------------------------------ test aids -- */

/* values[num] of all variables as of the last update become the current
 * solution; num must equal "NumVars". */
TVX_API int TVXloadsolution(TVXmodel *model, int num, const double *values);
/* Flags the model as optimizing (nonzero) or not (0). */
TVX_API int TVXsetoptimizing(TVXmodel *model, int flag);

/* ------------------------------------------------------------- batches -- */

/* Batches live in a store shared by an environment and the batch handles
 * opened in it. A handle reads the store live; after its batch was
 * discarded, attribute reads give the last values the handle saw, and the
 * operations fail with TVX_ERROR_DATA_NOT_AVAILABLE.
 * Batch attributes (all read-only; tests may add more): "BatchErrorCode" (int),
 * "BatchErrorMessage" (string), "BatchID" (string), "BatchStatus" (int);
 * names are matched case-insensitively. */

/* Opens a handle on batch batchid; an unknown ID fails with
 * TVX_ERROR_BATCH_NOT_FOUND and an environment message. */
TVX_API int TVXgetbatch(TVXenv *env, const char *batchid, TVXbatch **batchP);
/* The batch handle's own environment, freed with the handle (NULL for
 * NULL). Its last error message explains failed batch calls. */
TVX_API TVXenv *TVXgetbatchenv(TVXbatch *batch);
TVX_API int TVXgetbatchattrflags(TVXbatch *batch, const char *attrname, int *flagsP);
TVX_API int TVXgetbatchintattr(TVXbatch *batch, const char *attrname, int *valueP);
TVX_API int TVXgetbatchstrattr(TVXbatch *batch, const char *attrname, const char **valueP);
/* Number of batch attributes (a count; 0 for NULL). */
TVX_API int TVXgetnumbatchattributes(TVXenv *env);
TVX_API int TVXgetbatchattrname(TVXenv *env, int i, const char **attrnameP);
/* SUBMITTED -> ABORTED; other statuses fail with INVALID_ARGUMENT. */
TVX_API int TVXabortbatch(TVXbatch *batch);
/* ABORTED or FAILED -> SUBMITTED; other statuses fail. */
TVX_API int TVXretrybatch(TVXbatch *batch);
/* Removes the batch from the store; the handle stays valid for freeing. */
TVX_API int TVXdiscardbatch(TVXbatch *batch);
/* Refreshes the handle's view of the batch. */
TVX_API int TVXupdatebatch(TVXbatch *batch);
/* A copy of the JSON solution text (only when COMPLETED, else
 * TVX_ERROR_DATA_NOT_AVAILABLE); the caller frees it with TVXfree. */
TVX_API int TVXgetbatchjsonsolution(TVXbatch *batch, char **jsonP);
/* Writes the JSON solution text to filename (TVX_ERROR_FILE_WRITE if the file
 * cannot be written). */
TVX_API int TVXwritebatchjsonsolution(TVXbatch *batch, const char *filename);
/* Frees the handle and its environment. */
TVX_API int TVXfreebatch(TVXbatch *batch);
/* Frees a text the library handed over (NULL is fine); returns 0. */
TVX_API int TVXfree(void *ptr);

/* Test aids: create a batch with a status (1..5) and JSON text (NULL = ""; any
 * bytes but NUL); a duplicate ID fails with INVALID_ARGUMENT. */
TVX_API int TVXtest_addbatch(TVXenv *env, const char *batchid, int status, const char *jsontext);
TVX_API int TVXtest_setbatchstatus(TVXenv *env, const char *batchid, int status);
TVX_API int TVXtest_setbatcherror(TVXenv *env, const char *batchid, int errorcode,
                                  const char *errormessage);
/* Adds a batch attribute to the store of env, listed after the standard
 * ones, with the given flags (any bits); int reads give intvalue and string
 * reads strvalue, when the type bits are 1 or 3. */
TVX_API int TVXtest_addbatchattr(TVXenv *env, const char *attrname, int flags, int intvalue,
                                 const char *strvalue);
/* The next call named call (e.g. "TVXgetbatchintattr") on a handle or batch
 * environment of env's store fails with code (nonzero) and the message
 * "Injected failure of <call>". TVXfreebatch reports the code but frees the
 * handle all the same. */
TVX_API int TVXtest_failbatchcall(TVXenv *env, const char *call, int code);
/* Number of live library objects of one kind: 0 environments (batch
 * environments included), 1 models, 2 batch handles, 3 JSON texts not yet
 * freed. */
TVX_API int TVXtest_numlive(int kind);

#ifdef __cplusplus
}
#endif

#endif /* TOVRIX_H */
