// The chip settings page of the board configuration dialog: one chip of the
// dialog's chip set at a time, its register fields, its per-channel tables
// and raw bit commands. Every edit stays in the dialog's copy until Apply.
#include <cstdlib>
#include <iostream>
#include <string>

#include "fenrow/chips/BitParser.h"
#include "fenrow/chips/TAmanager.h"
#include "fenrow/streams/FenrowStream.h"
#include "fenrow/windows/FenrowGuiConfig.h"
#include "fenrow/windows/HistoryPrompt.h"
#include "gui/GtkUtils.h"
#include "ostrel/Log.h"

using Ostrel::FenrowStream;

namespace {

enum Kind { kind_mask = 0, kind_test = 1, kind_trim = 2, kind_preamp = 3 };
// What a cell of each kind sets, as its accessible name says.
const char* const kind_names[] = {"Mask", "Test", "Trim", "Preamp DAC"};

const int cells_per_row = 16;

bool toggle_state(GtkWidget* w)
{
    return GTK_IS_TOGGLE_BUTTON(w) && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w));
}

int cell_data(GtkWidget* cell, const char* key)
{
    return GPOINTER_TO_INT(g_object_get_data(G_OBJECT(cell), key));
}

// The chip shown, for a handler of its page.
TAchip* shown_chip(gpointer dialog)
{
    return static_cast<FenrowGuiConfig*>(dialog)->current_chip();
}

// A toggle of the page sets its flag on the chip shown.
template <TAchip* (TAchip::*set)(bool)>
void set_flag(GtkWidget* toggle, gpointer dialog)
{
    if (TAchip* chip = shown_chip(dialog))
        (chip->*set)(toggle_state(toggle));
}

} // namespace

void FenrowGuiConfig::setup_nchips()
{
    GtkWidget* w = get_widget("optChip");
    if (!w || !GTK_IS_COMBO_BOX(w))
        return;
    GtkListStore* store = gtk_list_store_new(1, G_TYPE_STRING);
    for (int i = 0; i < chips->Nchip(); ++i) {
        GtkTreeIter row;
        gtk_list_store_append(store, &row);
        gtk_list_store_set(store, &row, 0, std::to_string(i).c_str(), -1);
    }
    // Connected once; the callers redraw the page themselves.
    g_signal_handlers_block_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    gtk_combo_box_set_model(GTK_COMBO_BOX(w), GTK_TREE_MODEL(store));
    g_object_unref(store);
    gtk_combo_box_set_active(GTK_COMBO_BOX(w), 0);
    g_signal_handlers_unblock_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    if (!g_object_get_data(G_OBJECT(w), "chip-handler")) {
        g_signal_connect(w, "changed", G_CALLBACK(&FenrowGuiConfig::onNewChip), this);
        g_object_set_data(G_OBJECT(w), "chip-handler", GINT_TO_POINTER(1));
    }
    int2entry("txtNChips", chips->Nchip());
}

int FenrowGuiConfig::WhichChip()
{
    GtkWidget* optChip = get_widget("optChip");
    g_return_val_if_fail(GTK_IS_COMBO_BOX(optChip), 0);
    const int row = gtk_combo_box_get_active(GTK_COMBO_BOX(optChip));
    return row < 0 ? 0 : row;
}

TAchip* FenrowGuiConfig::current_chip()
{
    return chips->chip(WhichChip());
}

bool FenrowGuiConfig::resize_chips(int n)
{
    if (n < 1 || n > TAmanager::max_chips) {
        std::cout << "A stream holds 1 to " << TAmanager::max_chips << " chips: " << n << " refused" << std::endl;
        int2entry("txtNChips", chips->Nchip());
        return false;
    }
    const TAmanager before(*chips);
    chips->Resize(n);
    for (int i = 0; i < n && i < before.Nchip(); ++i)
        if (TAchip* chip = chips->chip(i))
            *chip = *before.chip(i);
    setup_nchips();
    onNewChip(nullptr, this);
    return true;
}

void FenrowGuiConfig::onNewChip(GtkWidget*, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    TAchip* chip = self->current_chip();
    if (!chip)
        return;
    self->int2entry("txtChipAddr", chip->Chip_Address());
    self->show_item("optPolarity", chip->Polarity() ? 1 : 0);
    self->show_toggle("btnGain", chip->GainEnabled());
    self->show_toggle("btnTest", chip->Test());
    if (chip->Gain() >= 0 && chip->Gain() < 4)
        self->show_item("optGain", chip->Gain());
    self->show_toggle("btnSlew", chip->slew());
    self->show_toggle("btnDLT", chip->dltc());
    self->show_toggle("btnDACrange", chip->dac_range());
    self->show_toggle("btnTestChannel", chip->test_channel());
    self->int2entry("txtThrsDAC", chip->thrs_dac());
    self->int2entry("txtCalStep", chip->calib_dac());
    self->setup_calibration(chip);
    const std::pair<const char*, int> tables[] = {{"tblMask", kind_mask}, {"tblTest", kind_test}, {"tblTrim", kind_trim}};
    for (const auto& t : tables)
        if (GtkWidget* table = self->get_widget(t.first))
            self->draw_table(GTK_TABLE(table), t.second);
    if (self->chips->GetChipType() != TAmanager::hdr)
        return;
    GtkWidget* book = self->get_widget("notebook-ta");
    if (!book)
        return;
    if (!g_object_get_data(G_OBJECT(book), "preamDAC"))
        self->prepare_for_hdr(self->module());
    if (auto* table = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(book), "preamDAC")))
        self->draw_table(GTK_TABLE(table), kind_preamp);
}

void FenrowGuiConfig::draw_table(GtkTable* table, int kind)
{
    GList* old = gtk_container_get_children(GTK_CONTAINER(table));
    for (GList* l = old; l; l = l->next)
        gtk_widget_destroy(GTK_WIDGET(l->data));
    g_list_free(old);
    TAchip* chip = current_chip();
    const int n = chips->Nchan();
    const int rows = (n + cells_per_row - 1) / cells_per_row;
    gtk_table_resize(table, static_cast<guint>(rows > 0 ? rows : 1), cells_per_row + 1);
    for (int i = 0; chip && i < n; ++i) {
        const guint r = static_cast<guint>(i / cells_per_row);
        const guint c = static_cast<guint>(1 + i % cells_per_row);
        if (i % cells_per_row == 0)
            gtk_table_attach(table, gtk_label_new(std::to_string(i).c_str()), 0, 1, r, r + 1, GTK_FILL,
                             GtkAttachOptions(0), 2, 0);
        GtkWidget* cell = nullptr;
        if (kind == kind_mask || kind == kind_test) {
            cell = gtk_check_button_new();
            gtk_toggle_button_set_mode(GTK_TOGGLE_BUTTON(cell), FALSE);
            gtk_widget_set_size_request(cell, 20, 20);
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(cell), kind == kind_mask ? chip->mask(i) : chip->test(i));
            g_signal_connect(cell, "toggled", G_CALLBACK(&FenrowGuiConfig::onBtnToggled), this);
            gtk_table_attach(table, cell, c, c + 1, r, r + 1, GTK_EXPAND, GtkAttachOptions(0), 0, 0);
        } else {
            cell = gtk_entry_new();
            gtk_widget_set_size_request(cell, 24, 20);
            const int value = kind == kind_trim ? chip->trim(i) : chip->preampDAC(i);
            gtk_entry_set_text(GTK_ENTRY(cell), std::to_string(value).c_str());
            g_signal_connect(cell, "changed", G_CALLBACK(&FenrowGuiConfig::onTxtChanged), this);
            gtk_table_attach(table, cell, c, c + 1, r, r + 1, GtkAttachOptions(GTK_EXPAND | GTK_FILL),
                             GtkAttachOptions(0), 0, 0);
        }
        gtk_widget_set_tooltip_text(cell, std::to_string(i).c_str());
        set_accessible_name(cell, std::string(kind_names[kind]) + " channel " + std::to_string(i));
        g_object_set_data(G_OBJECT(cell), "channel", GINT_TO_POINTER(i));
        g_object_set_data(G_OBJECT(cell), "type", GINT_TO_POINTER(kind));
    }
    gtk_widget_show_all(GTK_WIDGET(table));
    gtk_widget_queue_resize(GTK_WIDGET(table));
}

void FenrowGuiConfig::setup_calibration(TAchip* chip)
{
    if (!chip)
        return;
    const char* const radios[] = {"btnCapInt", "btnCapExt", "btnStepInt", "btnStepExt"};
    const char* const on[] = {chip->calib_ctrl() ? "btnCapExt" : "btnCapInt",
                              chip->calib_gen() ? "btnStepInt" : "btnStepExt"};
    // Turning one radio button on turns its partner off: the handlers of
    // both stay out of it.
    for (const char* r : radios)
        if (GtkWidget* w = get_widget(r))
            g_signal_handlers_block_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    for (const char* r : on)
        if (GtkWidget* w = get_widget(r))
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), TRUE);
    for (const char* r : radios)
        if (GtkWidget* w = get_widget(r))
            g_signal_handlers_unblock_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
}

void FenrowGuiConfig::prepare_for_hdr(FenrowStream* m)
{
    TAchip* chip = current_chip();
    if (!chip)
        return;
    if (GtkWidget* probe = get_widget("btnProbe")) {
        gtk_button_set_label(GTK_BUTTON(probe), "Bypass Peak/Hold");
        const bool bypass = chip->bypass_hold();
        show_toggle("btnProbe", bypass);
        chip->Probe_Enable(bypass);
        onProbeToggled(probe, this);
    }
    GtkWidget* side = get_widget("btnDetType");
    if (side && m) {
        const bool nside = !m->setting<bool>("Vout");
        show_toggle("btnDetType", nside);
        chip->N_side(nside);
        onNsideToggled(side, this);
    }
    GtkWidget* book = get_widget("notebook-ta");
    if (!book || g_object_get_data(G_OBJECT(book), "preamDAC"))
        return;
    GtkWidget* box = gtk_vbox_new(FALSE, 5);
    GtkWidget* enable = gtk_check_button_new_with_label("Activate preamp DACs");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(enable), chip->enable_preampDAC());
    g_signal_connect(enable, "toggled", G_CALLBACK(&FenrowGuiConfig::on_enable_preampDACs), this);
    gtk_box_pack_start(GTK_BOX(box), enable, FALSE, FALSE, 0);
    GtkWidget* frame = gtk_frame_new("Preamp. Bias");
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_IN);
    GtkWidget* table = gtk_table_new(1, 1, FALSE);
    gtk_container_add(GTK_CONTAINER(frame), table);
    gtk_box_pack_start(GTK_BOX(box), frame, TRUE, TRUE, 0);
    gtk_widget_show_all(box);
    gtk_notebook_append_page(GTK_NOTEBOOK(book), box, gtk_label_new("Pream. DAC"));
    g_object_set_data(G_OBJECT(book), "preamDAC", table);
}

// ---- handlers ------------------------------------------------------------------

void FenrowGuiConfig::onBtnToggled(GtkWidget* cell, gpointer data)
{
    TAchip* chip = shown_chip(data);
    if (!chip)
        return;
    const int channel = cell_data(cell, "channel");
    const bool on = toggle_state(cell);
    switch (cell_data(cell, "type")) {
    case kind_mask:
        chip->mask(channel, on);
        break;
    case kind_test:
        chip->test(channel, on);
        break;
    default:
        g_warning("If you se this message you better quit the program...\n");
    }
}

void FenrowGuiConfig::onTxtChanged(GtkWidget* cell, gpointer data)
{
    TAchip* chip = shown_chip(data);
    if (!chip)
        return;
    const char* text = gtk_entry_get_text(GTK_ENTRY(cell));
    char* end = nullptr;
    const long value = std::strtol(text, &end, 0);
    if (end == text)
        return;
    const int v = static_cast<int>(value & 0x1ff);
    const int channel = cell_data(cell, "channel");
    if (cell_data(cell, "type") > kind_trim)
        chip->preampDAC(channel, v);
    else
        chip->trim(channel, v);
}

void FenrowGuiConfig::set_all_channels(int kind, bool on)
{
    TAchip* chip = current_chip();
    if (!module() || !chip)
        return;
    for (int ch = 0; ch < chip->Nchan(); ++ch) {
        if (kind == kind_mask)
            chip->mask(ch, on);
        else
            chip->test(ch, on);
    }
    onNewChip(nullptr, this);
}

void FenrowGuiConfig::onMaskAll(GtkWidget*, gpointer data)
{
    static_cast<FenrowGuiConfig*>(data)->set_all_channels(kind_mask, true);
}

void FenrowGuiConfig::onClearMask(GtkWidget*, gpointer data)
{
    static_cast<FenrowGuiConfig*>(data)->set_all_channels(kind_mask, false);
}

void FenrowGuiConfig::onTestAll(GtkWidget*, gpointer data)
{
    static_cast<FenrowGuiConfig*>(data)->set_all_channels(kind_test, true);
}

void FenrowGuiConfig::onClearTest(GtkWidget*, gpointer data)
{
    static_cast<FenrowGuiConfig*>(data)->set_all_channels(kind_test, false);
}

void FenrowGuiConfig::onPolChanged(GtkWidget* combo, gpointer data)
{
    if (TAchip* chip = shown_chip(data))
        chip->Polarity(gtk_combo_box_get_active(GTK_COMBO_BOX(combo)) == 1);
}

void FenrowGuiConfig::onGainChanged(GtkWidget* combo, gpointer data)
{
    const int item = gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
    TAchip* chip = shown_chip(data);
    if (chip && item >= 0)
        chip->SetGain(item);
}

void FenrowGuiConfig::onGainToggled(GtkWidget* w, gpointer data)
{
    set_flag<&TAchip::EnableGain>(w, data);
}

void FenrowGuiConfig::onTestToggled(GtkWidget* w, gpointer data)
{
    set_flag<&TAchip::Test>(w, data);
}

void FenrowGuiConfig::onCCToggled(GtkWidget* w, gpointer data)
{
    set_flag<&TAchip::CC_Enable>(w, data);
}

void FenrowGuiConfig::on_slew(GtkWidget* w, gpointer data)
{
    set_flag<&TAchip::slew>(w, data);
}

void FenrowGuiConfig::on_dlt(GtkWidget* w, gpointer data)
{
    set_flag<&TAchip::dltc>(w, data);
}

void FenrowGuiConfig::on_trim_dac_range(GtkWidget* w, gpointer data)
{
    set_flag<&TAchip::dac_range>(w, data);
}

void FenrowGuiConfig::on_test_channel(GtkWidget* w, gpointer data)
{
    set_flag<&TAchip::test_channel>(w, data);
}

void FenrowGuiConfig::on_enable_preampDACs(GtkWidget* w, gpointer data)
{
    set_flag<&TAchip::enable_preampDAC>(w, data);
}

void FenrowGuiConfig::on_internal_cap(GtkWidget* w, gpointer data)
{
    if (TAchip* chip = shown_chip(data))
        chip->calib_ctrl(!toggle_state(w));
}

void FenrowGuiConfig::on_internal_step(GtkWidget* w, gpointer data)
{
    set_flag<&TAchip::calib_gen>(w, data);
}

void FenrowGuiConfig::onProbeToggled(GtkWidget* w, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    TAchip* chip = self->current_chip();
    if (!chip)
        return;
    if (self->chips->GetChipType() != TAmanager::hdr) {
        chip->Probe_Enable(toggle_state(w));
        return;
    }
    chip->bypass_hold(toggle_state(w));
    std::cout << "Status of bypass bit is " << (chip->bypass_hold() ? "true" : "false") << std::endl;
}

void FenrowGuiConfig::onNsideToggled(GtkWidget* w, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    TAchip* chip = self->current_chip();
    if (!chip)
        return;
    chip->N_side(toggle_state(w));
    if (self->chips->GetChipType() == TAmanager::hdr)
        gtk_button_set_label(GTK_BUTTON(w), chip->N_side() ? "Iout" : "Vout");
}

void FenrowGuiConfig::on_chip_type(GtkWidget* combo, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    TAmanager::ChipType type = TAmanager::hdr;
    const char* name = "HDR";
    switch (gtk_combo_box_get_active(GTK_COMBO_BOX(combo))) {
    case 0:
        type = TAmanager::gp7_1;
        name = "GP7";
        break;
    case 1:
        type = TAmanager::gp8;
        name = "GP8";
        break;
    default:
        break;
    }
    {
        Ostrel::ostream log(Ostrel::LOG_PROTOCOL);
        log << "Setting chip type to " << name << std::endl;
    }
    self->chips->SetChipType(type);
    onNewChip(nullptr, self);
}

void FenrowGuiConfig::on_change_page(GtkNotebook*, gpointer, guint number, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    const char* const pages[] = {"vbox-ta-mask", "vbox-ta-test", "vbox-threshold"};
    if (number > 2)
        return;
    if (number == 1)
        self->setup_calibration(self->current_chip());
    if (GtkWidget* page = self->get_widget(pages[number]))
        gtk_widget_queue_resize(page);
}

void FenrowGuiConfig::on_Advanced(GtkWidget*, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    const int chip = self->WhichChip();
    std::vector<std::string>& list = self->history[self->id.str()][chip];
    std::string text;
    if (!self->prompt([&] { text = get_a_string_with_history("Force bits", "Bit commands", list); }))
        return;
    // The chip set may have been recreated while the prompt was open.
    bit_parser(text, self->chips->chip(chip));
}
