// An adjustment bound to one integer parameter of one module: moving the
// control sets the parameter; a change of the parameter elsewhere moves the
// control without writing back. Sliders are registered under the key
// "<module id>/<parameter name>".
#ifndef BRISKO_GUI_PARAMSLIDER_H
#define BRISKO_GUI_PARAMSLIDER_H

#include <string>

#include <gtk/gtk.h>

#include "ostrel/DAQid.h"

// Sliders are made, changed and deleted on the GTK main thread; other
// threads move them with post_value, which goes through the registry key.
class ParamSlider {
public:
    ParamSlider(const ParamSlider&) = delete;
    ParamSlider& operator=(const ParamSlider&) = delete;

    // A slider replaced under its key is deleted.
    static ParamSlider* new_slider(const Ostrel::DAQid& id, const std::string& par, GtkAdjustment* adj);
    // From any thread; the slider it returns is only safe to use on the GUI
    // thread.
    static ParamSlider* find(const std::string& key);
    static void remove(const std::string& key);
    static void delete_all();
    // From any thread: the slider of the key, if there is one then, moves
    // to the value with set_value_silent on the GUI thread.
    static void post_value(const std::string& key, double value);

    double get_value() const;
    // Moves the control without setting the parameter.
    void set_value_silent(double x);
    const Ostrel::DAQid& get_id() const { return _id; }
    const std::string& get_par_name() const { return par_name; }

    // The adjustment's "value_changed": sets the parameter to the value
    // truncated toward zero, with notification.
    static void change_value(GtkAdjustment* adj, ParamSlider* slider);

private:
    ParamSlider(const Ostrel::DAQid& id, const std::string& par, GtkAdjustment* adj);
    // Disconnects the handler and lets go of the adjustment.
    ~ParamSlider();

    GtkAdjustment* adj;
    Ostrel::DAQid _id;
    std::string par_name;
    int cb_id = -1;
};

#endif
