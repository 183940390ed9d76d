#include "gui/GtkSpinSlider.h"

enum { VALUE_CHANGED, LAST_SIGNAL };
static guint spinslider_signals[LAST_SIGNAL] = {0};

G_DEFINE_TYPE(SpinSlider, spinslider, GTK_TYPE_FIXED)

static void on_adjustment_changed(GtkAdjustment* adj, SpinSlider* slider)
{
    (void)adj;
    g_signal_emit(slider, spinslider_signals[VALUE_CHANGED], 0);
}

static void spinslider_size_request(GtkWidget* widget, GtkRequisition* requisition)
{
    SpinSlider* slider = SPINSLIDER(widget);
    GtkRequisition spin, scale;
    gtk_widget_size_request(GTK_WIDGET(slider->mSpin), &spin);
    gtk_widget_size_request(GTK_WIDGET(slider->mScale), &scale);
    requisition->width = spin.width + scale.width;
    requisition->height = MAX(spin.height, scale.height);
}

static void spinslider_size_allocate(GtkWidget* widget, GtkAllocation* allocation)
{
    SpinSlider* slider = SPINSLIDER(widget);
    gtk_widget_set_allocation(widget, allocation);
    int x = allocation->x, y = allocation->y;
    if (gtk_widget_get_has_window(widget)) {
        if (gtk_widget_get_realized(widget))
            gdk_window_move_resize(gtk_widget_get_window(widget), allocation->x, allocation->y,
                                   allocation->width, allocation->height);
        x = y = 0;
    }
    const int ws = (int)(allocation->width * slider->ratio);
    GtkAllocation spin = {x, y, ws, allocation->height};
    GtkAllocation scale = {x + ws, y, allocation->width - ws, allocation->height};
    gtk_widget_size_allocate(GTK_WIDGET(slider->mSpin), &spin);
    gtk_widget_size_allocate(GTK_WIDGET(slider->mScale), &scale);
}

static void spinslider_destroy(GtkObject* object)
{
    SpinSlider* slider = SPINSLIDER(object);
    if (slider->adj) {
        /* Others may keep the adjustment: it must not call a freed widget. */
        g_signal_handlers_disconnect_by_func(slider->adj, (gpointer)on_adjustment_changed, slider);
        g_object_unref(slider->adj);
        slider->adj = NULL;
    }
    slider->mSpin = NULL;
    slider->mScale = NULL;
    GTK_OBJECT_CLASS(spinslider_parent_class)->destroy(object);
}

static void spinslider_class_init(SpinSliderClass* klass)
{
    GTK_OBJECT_CLASS(klass)->destroy = spinslider_destroy;
    GTK_WIDGET_CLASS(klass)->size_request = spinslider_size_request;
    GTK_WIDGET_CLASS(klass)->size_allocate = spinslider_size_allocate;
    klass->spinslider = NULL;
    spinslider_signals[VALUE_CHANGED] =
        g_signal_new("value_changed", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_FIRST | G_SIGNAL_NO_RECURSE,
                     G_STRUCT_OFFSET(SpinSliderClass, spinslider), NULL, NULL,
                     g_cclosure_marshal_VOID__VOID, G_TYPE_NONE, 0);
}

static void spinslider_init(SpinSlider* slider)
{
    slider->adj = GTK_ADJUSTMENT(gtk_adjustment_new(0, 0, 0, 0, 0, 0));
    g_object_ref_sink(slider->adj);
    GtkWidget* scale = gtk_hscale_new(slider->adj);
    gtk_scale_set_draw_value(GTK_SCALE(scale), FALSE);
    GtkWidget* spin = gtk_spin_button_new(slider->adj, 0.0, 1);
    slider->mScale = GTK_HSCALE(scale);
    slider->mSpin = GTK_SPIN_BUTTON(spin);
    gtk_widget_set_tooltip_text(scale, "Move the tab to change the value on the spin");
    gtk_widget_set_tooltip_text(spin, "Type a value and the scale tab will move accordingly");
    gtk_fixed_put(GTK_FIXED(slider), spin, 0, 0);
    gtk_fixed_put(GTK_FIXED(slider), scale, 45, 0);
    gtk_widget_show(spin);
    gtk_widget_show(scale);
    g_signal_connect(slider->adj, "value_changed", G_CALLBACK(on_adjustment_changed), slider);
    gtk_spin_button_set_snap_to_ticks(slider->mSpin, TRUE);
    gtk_spin_button_set_numeric(slider->mSpin, TRUE);
    slider->ratio = 0.2f;
}

GtkWidget* gtk_spinslider_new(float value, float lower, float upper, float step, float page,
                              float page_size)
{
    SpinSlider* slider = SPINSLIDER(g_object_new(SPINSLIDER_TYPE, NULL));
    gtk_adjustment_set_lower(slider->adj, lower);
    gtk_adjustment_set_upper(slider->adj, upper);
    gtk_adjustment_set_step_increment(slider->adj, step);
    gtk_adjustment_set_page_increment(slider->adj, page);
    gtk_adjustment_set_page_size(slider->adj, page_size);
    slider->ratio = 0.2f;
    gtk_adjustment_set_value(slider->adj, value);
    return GTK_WIDGET(slider);
}

void gtk_spinslider_set_ratio(SpinSlider* slider, float ratio)
{
    g_return_if_fail(IS_SPINSLIDER (slider));
    slider->ratio = ratio;
    gtk_widget_queue_resize(GTK_WIDGET(slider));
}

float gtk_spinslider_get_value(SpinSlider* slider)
{
    g_return_val_if_fail(IS_SPINSLIDER (slider) && slider->adj, 0.0f);
    return (float)gtk_adjustment_get_value(slider->adj);
}

void gtk_spinslider_set_value(SpinSlider* slider, float value)
{
    g_return_if_fail(IS_SPINSLIDER (slider) && slider->adj);
    gtk_adjustment_set_value(slider->adj, value);
}

void gtk_spinslider_set_digits(SpinSlider* slider, int digits)
{
    g_return_if_fail(IS_SPINSLIDER (slider) && slider->mSpin);
    gtk_spin_button_set_digits(slider->mSpin, (guint)MAX(digits, 0));
}

void gtk_spinslider_reset(SpinSlider* slider, float lower, float upper, float step, float page)
{
    g_return_if_fail(IS_SPINSLIDER (slider) && slider->adj);
    slider->adj->lower = lower;
    slider->adj->upper = upper;
    slider->adj->step_increment = step;
    slider->adj->page_increment = page;
    gtk_adjustment_changed(slider->adj);
}
