#include "gui/ParamSlider.h"

#include <cmath>
#include <iostream>
#include <limits>

#include "daq/IdleCall.h"
#include "gui/Registry.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Exception.h"
#include "ostrel/Module.h"

namespace {

// Never destroyed: parameter changes may be posted while the process exits.
Registry<ParamSlider>& vlist()
{
    static auto* sliders = new Registry<ParamSlider>;
    return *sliders;
}

} // namespace

ParamSlider* ParamSlider::new_slider(const Ostrel::DAQid& id, const std::string& par,
                                     GtkAdjustment* adj)
{
    auto* slider = new ParamSlider(id, par, adj);
    delete vlist().put(id.str() + "/" + par, slider);
    return slider;
}

ParamSlider* ParamSlider::find(const std::string& key)
{
    return vlist().find(key);
}

void ParamSlider::remove(const std::string& key)
{
    delete vlist().take(key);
}

void ParamSlider::delete_all()
{
    for (auto& entry : vlist().take_all())
        delete entry.second;
}

void ParamSlider::post_value(const std::string& key, double value)
{
    if (!find(key))
        return;
    idle_call([key, value] {
        if (ParamSlider* slider = find(key))
            slider->set_value_silent(value);
    });
}

ParamSlider::ParamSlider(const Ostrel::DAQid& id, const std::string& par, GtkAdjustment* a)
    : adj(a), _id(id), par_name(par)
{
    // The adjustment may belong to a dialog that goes first.
    g_object_ref_sink(adj);
    cb_id = static_cast<int>(g_signal_connect(adj, "value_changed", G_CALLBACK(change_value), this));
}

ParamSlider::~ParamSlider()
{
    if (cb_id > 0 && g_signal_handler_is_connected(adj, gulong(cb_id)))
        g_signal_handler_disconnect(adj, gulong(cb_id));
    g_object_unref(adj);
}

double ParamSlider::get_value() const
{
    return gtk_adjustment_get_value(adj);
}

void ParamSlider::set_value_silent(double x)
{
    if (cb_id > 0)
        g_signal_handler_block(adj, gulong(cb_id));
    gtk_adjustment_set_value(adj, x);
    if (cb_id > 0)
        g_signal_handler_unblock(adj, gulong(cb_id));
}

void ParamSlider::change_value(GtkAdjustment* adj, ParamSlider* slider)
{
    if (!slider)
        return;
    Ostrel::Module* module = nullptr;
    try {
        module = Ostrel::DAQmanager::theDAQmanager()->find_module(slider->_id);
    } catch (...) {
        return;
    }
    if (!module)
        return;
    double x = gtk_adjustment_get_value(adj);
    if (std::isnan(x))
        return;
    x = std::fmax(x, double(std::numeric_limits<int>::min()));
    x = std::fmin(x, double(std::numeric_limits<int>::max()));
    const int value = static_cast<int>(x);
    try {
        module->set_par<int>(slider->par_name, value, true);
    } catch (const Ostrel::ParameterRefused&) {
        // The module said why in the log; the control shows what it holds.
        try {
            slider->set_value_silent(module->get_par_value<int>(slider->par_name));
        } catch (...) {
        }
    } catch (const Ostrel::Exception& e) {
        std::cout << "Bad parameter type matching: " << e.what() << std::endl;
    } catch (...) {
    }
}
