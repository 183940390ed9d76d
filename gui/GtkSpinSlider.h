/* One adjustment shown as a spin button and a horizontal scale side by
 * side; the spin button takes the share `ratio` of the width (0.2 by
 * default). The widget emits "value_changed" whenever the adjustment's
 * value changes. */
#ifndef BRISKO_GUI_GTK_SPINSLIDER_H
#define BRISKO_GUI_GTK_SPINSLIDER_H

#include <gtk/gtk.h>

G_BEGIN_DECLS

#define SPINSLIDER_TYPE (spinslider_get_type())
#define SPINSLIDER(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), SPINSLIDER_TYPE, SpinSlider))
#define IS_SPINSLIDER(obj) (G_TYPE_CHECK_INSTANCE_TYPE((obj), SPINSLIDER_TYPE))

typedef struct _SpinSlider SpinSlider;
typedef struct _SpinSliderClass SpinSliderClass;

struct _SpinSlider {
    GtkFixed fixed;
    GtkAdjustment* adj;
    GtkHScale* mScale;
    GtkSpinButton* mSpin;
    float ratio;
};

struct _SpinSliderClass {
    GtkFixedClass parent_class;
    void (*spinslider)(SpinSlider* slider);
};

GType spinslider_get_type(void);
/* The adjustment gets lower, upper, step and page increments and page
 * size, then the value. */
GtkWidget* gtk_spinslider_new(float value, float lower, float upper, float step, float page,
                              float page_size);
/* Takes effect at the next size allocation, which it asks for. */
void gtk_spinslider_set_ratio(SpinSlider* slider, float ratio);
float gtk_spinslider_get_value(SpinSlider* slider);
void gtk_spinslider_set_value(SpinSlider* slider, float value);
void gtk_spinslider_set_digits(SpinSlider* slider, int digits);
/* New limits and increments, then the adjustment's "changed". */
void gtk_spinslider_reset(SpinSlider* slider, float lower, float upper, float step, float page);

G_END_DECLS

#endif
