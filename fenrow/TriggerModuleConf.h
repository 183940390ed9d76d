// The configuration section of one trigger board: its settings (operation,
// majority, mask) read from the board's element, copied into the trigger
// module when the board is found, and written back when the configuration
// is saved; its settings dialog "TrgBoard" edits them and sends them.
#ifndef BRISKO_FENROW_TRIGGERMODULECONF_H
#define BRISKO_FENROW_TRIGGERMODULECONF_H

#include <string>

#include "config/ModuleParser.h"

namespace Ostrel {

class TriggerModule;

class TriggerModuleConf : public ModuleParser {
public:
    explicit TriggerModuleConf(TriggerModule* module);
    ~TriggerModuleConf() override;

    // Takes the module and copies the section's values into it.
    void set_module(TriggerModule* module);
    // The module, while the framework still holds it; else null.
    TriggerModule* get_module() const;
    // The section's values into the module's parameters, without notifying.
    void copy_to_module();

    void parse_node(xmlNodePtr element) override;
    void save_config() override;
    // The settings dialog, shown (the open one, raised, while there is one).
    // GTK main thread.
    GtkWidget* config(const std::string& name) override;

    // The numeric id the configuration registers the section under.
    int handler_id() const;
    // The open dialog, or null; the dialog clears it when it goes.
    GtkWidget* get_dialog() const { return dialog; }
    void set_dialog(GtkWidget* widget) { dialog = widget; }

    bool get_operation() const { return operation; }
    int get_majority() const { return majority; }
    unsigned get_mask() const { return mask; }
    void set_operation(bool value) { operation = value; }
    void set_majority(int value) { majority = value; }
    void set_mask(unsigned value) { mask = value; }

private:
    TriggerModule* module;
    std::string module_id;
    GtkWidget* dialog;
    bool operation;
    int majority;
    unsigned mask;
};

} // namespace Ostrel

#endif
