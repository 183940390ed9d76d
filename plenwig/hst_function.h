/* HstFunction: a real function of one variable sampled on a uniform grid.
 *
 * The root of every data object of the library. Each object carries its own
 * lock so that acquisition threads may fill while the GUI thread draws.
 */
#ifndef PLENWIG_HST_FUNCTION_H
#define PLENWIG_HST_FUNCTION_H

#include <glib-object.h>

G_BEGIN_DECLS

#define HST_TYPE_FUNCTION            (hst_function_get_type())
#define HST_FUNCTION(obj)            (G_TYPE_CHECK_INSTANCE_CAST((obj), HST_TYPE_FUNCTION, HstFunction))
#define HST_FUNCTION_CLASS(klass)    (G_TYPE_CHECK_CLASS_CAST((klass), HST_TYPE_FUNCTION, HstFunctionClass))
#define HST_IS_FUNCTION(obj)         (G_TYPE_CHECK_INSTANCE_TYPE((obj), HST_TYPE_FUNCTION))
#define HST_IS_FUNCTION_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), HST_TYPE_FUNCTION))
#define HST_FUNCTION_GET_CLASS(obj)  (G_TYPE_INSTANCE_GET_CLASS((obj), HST_TYPE_FUNCTION, HstFunctionClass))

/* The per-object lock. It is recursive: a thread that holds it (through
 * hst_function_lock) may still call every operation of the same object. */
typedef GRecMutex HstMutex;

typedef double (*HstGFunction1D)(double);

typedef struct _HstPoint {
    double x;
    double y;
} HstPoint;

/* Points handed from a function to a chart; P is allocated by the array
 * operation and released with hst_function_clear_tuple. */
typedef struct _HstTuple {
    int n;
    HstPoint* P;
} HstTuple;

typedef struct _HstFunction HstFunction;
typedef struct _HstFunctionClass HstFunctionClass;
typedef struct _HstFunctionPrivate HstFunctionPrivate;

struct _HstFunction {
    GObject parent_instance;
    HstFunctionPrivate* priv;
    HstGFunction1D func;
    int nbin;
    double xmin;
    double xmax;
    double step;
    gchar* name;
};

struct _HstFunctionClass {
    GObjectClass parent_class;

    double (*eval)(HstFunction* f, double x);
    void (*array)(HstFunction* f, HstTuple* t, double xmin, double xmax);
    int (*resize)(HstFunction* f, int width, int height);
    GString* (*print)(HstFunction* f);
    void (*range_changed)(HstFunction* f);
};

GType hst_function_get_type(void) G_GNUC_CONST;

HstFunction* hst_function_new(int nx, double x_min, double x_max, HstGFunction1D ptr);

double hst_function_eval(HstFunction* f, double val);
int hst_function_resize(HstFunction* f, int width, int height);
void hst_function_get_array(HstFunction* f, HstTuple* t, double xmin, double xmax);
void hst_function_clear_tuple(HstTuple* t);

int hst_function_get_npts(HstFunction* f);
double hst_function_get_xmin(HstFunction* f);
double hst_function_get_xmax(HstFunction* f);
double hst_function_get_step(HstFunction* f);

int hst_function_find_bin(HstFunction* f, double x);
double hst_function_bin_center(HstFunction* f, int ib);

gchar* hst_function_get_name(HstFunction* f);
void hst_function_set_name(HstFunction* f, const gchar* name);

GString* hst_function_print(HstFunction* f);
GString* hst_function_print_list(GList* list_of_functions);

void hst_function_lock(HstFunction* f);
void hst_function_unlock(HstFunction* f);
/* TRUE when the lock was taken (the caller then unlocks). */
gboolean hst_function_trylock(HstFunction* f);

G_END_DECLS

#endif
