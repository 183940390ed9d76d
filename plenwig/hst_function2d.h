/* HstFunction2D: a function of two variables. The object itself is the X
 * axis; Y is a second HstFunction that holds the Y binning. */
#ifndef PLENWIG_HST_FUNCTION2D_H
#define PLENWIG_HST_FUNCTION2D_H

#include "hst_function.h"

G_BEGIN_DECLS

#define HST_TYPE_FUNCTION2D            (hst_function2d_get_type())
#define HST_FUNCTION2D(obj)            (G_TYPE_CHECK_INSTANCE_CAST((obj), HST_TYPE_FUNCTION2D, HstFunction2D))
#define HST_FUNCTION2D_CLASS(klass)    (G_TYPE_CHECK_CLASS_CAST((klass), HST_TYPE_FUNCTION2D, HstFunction2DClass))
#define HST_IS_FUNCTION2D(obj)         (G_TYPE_CHECK_INSTANCE_TYPE((obj), HST_TYPE_FUNCTION2D))
#define HST_IS_FUNCTION2D_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), HST_TYPE_FUNCTION2D))
#define HST_FUNCTION2D_GET_CLASS(obj)  (G_TYPE_INSTANCE_GET_CLASS((obj), HST_TYPE_FUNCTION2D, HstFunction2DClass))

typedef double (*HstGFunction2D)(double, double);

typedef struct _HstFunction2D HstFunction2D;
typedef struct _HstFunction2DClass HstFunction2DClass;

struct _HstFunction2D {
    HstFunction X;
    HstFunction* Y;        /* the Y axis, owned */
    HstGFunction2D func2d; /* callback, or NULL */
};

struct _HstFunction2DClass {
    HstFunctionClass parent_class;

    double (*eval2d)(HstFunction2D* f, double x, double y);
};

GType hst_function2d_get_type(void) G_GNUC_CONST;

HstFunction2D* hst_function2d_new(int nx, double xmin, double xmax, int ny, double ymin, double ymax,
                                  HstGFunction2D ptr);
double hst_function2d_eval(HstFunction2D* f, double x, double y);
/* ix + nx*iy; -1 when that does not fit an int. */
int hst_function2d_find_bin_from_cell(HstFunction2D* h2d, int ix, int iy);
void hst_function2d_find_cell_from_bin(HstFunction2D* h2d, int ib, int* ix, int* iy);
HstFunction* hst_function2d_X(HstFunction2D* h2d);
HstFunction* hst_function2d_Y(HstFunction2D* h2d);

G_END_DECLS

#endif
