// The program's compiled-in bundles: every resource is there, and every
// top-level widget of the interface descriptions builds with the ids and
// handler names its window relies on.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <gmodule.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include "GuiTest.h"
#include "common/TestUtil.h"
#include "gui/GladeApp.h"

namespace {

const char* const brisko_glade = "/org/korvane/Tellum/glade/brisko.glade";
const char* const fenrow_glade = "/org/korvane/Tellum/fenrow.glade";

struct TopLevel {
    const char* description;   // resource path
    const char* root;
    std::vector<std::string> ids;
    std::vector<std::string> handlers;
};

// One row per top-level widget of the program's descriptions, as
// {description, "root", {ids...}, {handler names...}}.
const std::vector<TopLevel> top_levels = {
    {brisko_glade, "brisko",
     {"btnRunControl", "txtNoOfEvents", "btnEvts", "btnTime", "swTriggerType", "swTriggerInternal", "swInterrupt",
      "swInterruptInt", "swLogData", "toggleMonitor", "btnScan", "btnPedestal", "open_config", "save_config",
      "save_as_config", "quit", "lblDataFile", "progressbar", "lblRunDuration", "lblNtrigger", "lblRunMode",
      "lblScanInfo", "lblMemory", "gauge_rate", "gauge_eff", "memory-monitor", "scrolledwindow", "txtMessageLog",
      "module-table", "viewport-module-table", "quarno_list"},
     {"onQuit", "onLoadConfig", "onSaveConfig", "onSaveAsConfig", "onPreferences", "onLoadPedestals",
      "onSavePedestals", "onFilterMessages", "onAbout", "onManual", "onCheckForUpdate", "on_plugins_activate",
      "onMonitor", "onTrgType", "onInterrupt", "onScan", "onPedestal", "onLogData", "on_count_events"}},
    {brisko_glade, "Pedestals",
     {"lblPedMsg", "comboModules", "entryFilename", "btnOpen", "pedFromMonitor", "pedFromModule", "btnPedReset",
      "btnPedHelp", "btnCancel", "btnOK"},
     {"onOK", "onCancel", "onOpen", "onHelp", "onReset", "onSelectModule", "onDelete"}},
    {brisko_glade, "ScanDialog",
     {"comboScanList", "lstVariables", "clistScan", "txtNpoints", "txtStep", "txtFrom", "txtTo", "txtNevtPerPoint",
      "btnDoScan", "btnBurst", "btnEvents", "btnScanTime", "scaleDelay", "spinDelay", "spinRate", "lblScanMessage",
      "btnScanHelp", "btnScanCancel", "btnScanOK"},
     {"on_OK", "on_Cancel", "on_Help", "on_SaveScan", "on_AddScan", "on_DeleteScan", "on_ScanChanged", "on_Delete",
      "on_Add", "on_Up", "on_Down", "on_doScan", "on_toggleBurst", "on_toggleTime", "on_Delay", "on_Rate"}},
    {brisko_glade, "Preferences",
     {"notebookPreferences", "entryDataDirectory", "entryPrefix", "entryRunNumber", "entryFileSize", "BtnCompress",
      "spinNped", "spinMinSample", "btnFastPedestals", "btnProperPedestals", "btnUpdatePedestals", "spinPedPeriod",
      "spinMonitorBuffer", "spinSOAPport", "cmbPaths", "treePaths", "btnHstBg", "btnHstFg", "btnHstAx", "btnTrBg",
      "btnTrFg", "btnTrAx", "cmbHstModule", "txtHstNbin", "txtHstEmin", "txtHstEmax", "btnHstBinning",
      "lblHstMessage", "helpbutton1", "cancelbutton2", "applybutton1", "okbutton2"},
     {"on_OK", "on_Apply", "on_Cancel", "on_Help", "on_Close", "on_path_type", "on_btnAddPath", "on_btnRemovePath",
      "on_btnPathUp", "on_btnPathDown", "on_btn_color_set", "on_select_module", "on_change_binning"}},
    {brisko_glade, "plugin_dialog",
     {"helpbutton2", "cancelbutton4", "btnPluginOK", "notebook2", "treePlugins", "btnAdd", "btnDelete", "btnEdit", "btnUp",
      "btnDown", "btnHook", "entryIntLibrary", "entryIntEnable", "entryIntDisable", "entryIntStart", "entryIntStop",
      "entryIntReset", "btnBrowseInt", "btnEnable", "btnDisable", "btnStart", "btnStop", "btnReset", "treeRunManager",
      "btnAddRM", "btnRemoveRM", "btnAddRMhook", "entryDlib", "entryDhook", "toggleDataLogger", "btnDataLogger",
      "treeModules", "btnAddModule", "btnDeleteModule", "treeDrivers", "btnAddDriver", "btnRemoveDriver",
      "btnHookDriver"},
     {"on_help", "on_btnAdd", "on_btnDelete", "on_btnUp", "on_btnDown", "on_btnEdit", "on_btnHook", "on_btnOK",
      "on_btnBrowseInt", "on_btnEnable", "on_btnDisable", "on_btnStart", "on_btnStop", "on_btnReset",
      "on_runmanager_add", "on_runmanager_remove", "on_runmanager_hook", "on_data_logger", "on_enable_data_logger",
      "on_module_add", "on_module_remove", "on_driver_add", "on_driver_remove", "on_driver_hook"}},
    {brisko_glade, "hook_dialog",
     {"helpbutton3", "cancelbutton5", "okbutton5", "entryLibrary", "btnBrowseLib", "btnSymbols", "comboHook"},
     {"on_help", "on_browse_lib", "on_find_symbols", "on_hook_selected"}},
    {fenrow_glade, "DSP-config",
     {"notebookConfig", "tblDSP-config", "vboxTA", "vboxModConfig", "btnHelp", "btnCancel", "btnApply", "btnOK",
      "optChipType", "spinThreshold", "scaleThreshold", "comboBias", "spinBias", "scaleBias", "optMbiasChan",
      "spinMBias", "scaleMBias", "txtNadj", "txtDelay", "txtWped", "txtWnoise", "spinHoldDelay", "scaleHoldDelay",
      "btnHOLD", "optROmode", "comboTrgType", "btnCoinc", "spinCTW", "scaleCTW", "btnDebug", "optChip",
      "txtChipAddr", "btnSlew", "btnDLT", "txtNChips", "optPolarity", "btnGain", "optGain", "btnProbe",
      "btnDetType", "btnCC", "btnBits", "btnMaskAll", "btnClearMask", "btnTestAll", "btnClearTest", "notebook-ta",
      "vbox-ta-mask", "tblMask", "vbox-ta-test", "btnTest", "tblCal", "btnCapInt", "btnCapExt", "btnStepInt",
      "btnStepExt", "btnTestChannel", "txtCalStep", "tblTest", "vbox-threshold", "txtThrsDAC", "btnDACrange",
      "tblTrim", "nPadX", "nPadY", "btnCreateMap"},
     {"onOK", "onApply", "onCancel", "onDelay", "onNadj", "onMaskAll", "onClearMask", "onTestAll", "onClearTest",
      "onGainToggled", "onTestToggled", "onProbeToggled", "onNsideToggled", "onCCToggled", "on_internal_cap",
      "on_internal_step", "on_test_channel", "on_slew", "on_dlt", "on_trim_dac_range", "on_change_page", "onDebug",
      "on_bias_changed", "on_Advanced", "on_create_map"}},
    {fenrow_glade, "ChannelDebug", {"txtChannel", "btnExecute"}, {"onExecute"}},
    {brisko_glade, "dsp-window",
     {"dsp-frame", "btnConfig", "lblModuleID", "table2", "lblNtrig", "lblRate", "swLocal", "imgLocal", "swMonitor",
      "imgMonitor"},
     {"on_btnConfig", "on_swLocal", "on_swMonitor"}},
    {brisko_glade, "dsp-monitor",
     {"btnResetPed", "btnResetHst", "btnQuitMonitor", "btnHelp", "spinSeedCut", "spinAdjCut", "prgQueue", "notebook1",
      "optChipSelect", "tglHst", "hstSignal", "hstHitMap", "btn2Dmap", "txtEmin", "txtEmax", "btnApplyCuts",
      "btnResetCuts", "hstPedestals", "hstNoise", "trCommonMode", "tblChipMonitor", "optMonitorSelect",
      "btnMonitorRunControl", "lblDSPnEvts", "swDSPTrgType", "radiobutton6", "optViewData", "evtDisplay"},
     {"on_ResetPed", "on_Reset", "on_Quit", "on_Help", "on_Btn2DSignal", "on_Btn2DMap", "on_BtnApplyCut",
      "on_BtnResetCut", "on_seed_cut", "on_neighbor_cut"}},
    {fenrow_glade, "dlgConfigBoard",
     {"cmbChipType", "txtNhybrid", "txtNchip", "slot1", "slot2", "slot3", "slot4", "slot5", "slot6", "slot7",
      "slot8", "btnBoardOK", "btnBoardCancel"},
     {"on_response"}},
};

// The board plug-in's bundle is registered when the plug-in loads.
void load_plugin()
{
    static GModule* plugin = g_module_open(BRISKO_FENROW_PLUGIN, G_MODULE_BIND_LAZY);
    ASSERT_NE(nullptr, plugin) << g_module_error();
}

std::string resource(const char* path)
{
    GError* error = nullptr;
    GBytes* bytes = g_resources_lookup_data(path, G_RESOURCE_LOOKUP_FLAGS_NONE, &error);
    if (!bytes) {
        ADD_FAILURE() << path << ": " << error->message;
        g_error_free(error);
        return std::string();
    }
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    std::string text(data, size);
    g_bytes_unref(bytes);
    return text;
}

// The values an XPath expression selects in a description.
std::set<std::string> select(const std::string& text, const std::string& xpath)
{
    std::set<std::string> out;
    xmlDocPtr doc = xmlReadMemory(text.data(), int(text.size()), "description", nullptr, XML_PARSE_NONET);
    if (!doc) {
        ADD_FAILURE() << "the description does not parse";
        return out;
    }
    xmlXPathContextPtr context = xmlXPathNewContext(doc);
    xmlXPathObjectPtr found = xmlXPathEvalExpression(BAD_CAST xpath.c_str(), context);
    for (int i = 0; found && found->nodesetval && i < found->nodesetval->nodeNr; ++i) {
        xmlChar* value = xmlNodeGetContent(found->nodesetval->nodeTab[i]);
        out.insert(reinterpret_cast<const char*>(value));
        xmlFree(value);
    }
    xmlXPathFreeObject(found);
    xmlXPathFreeContext(context);
    xmlFreeDoc(doc);
    return out;
}

// A window that has every handler of its row.
class RowWindow : public GladeApp {
public:
    explicit RowWindow(const TopLevel& row) : row_(row) {}

private:
    static void nothing() {}
    void auto_connect() override
    {
        for (const std::string& h : row_.handlers)
            if (!connect.count(h))
                connect[h] = G_CALLBACK(&RowWindow::nothing);
    }
    const TopLevel& row_;
};

void check_row(const std::string& text, const TopLevel& row)
{
    SCOPED_TRACE(row.root);
    const std::set<std::string> seeded = {"gtk_main_quit", "gtk_true", "gtk_false", "on_text_changed"};
    const std::string subtree = std::string("//widget[@id='") + row.root + "']";
    const std::set<std::string> used = select(text, subtree + "//signal/@handler");
    for (const std::string& h : row.handlers)
        EXPECT_TRUE(used.count(h)) << "handler " << h << " is not in the description";
    for (const std::string& h : used)
        EXPECT_TRUE(seeded.count(h) || std::count(row.handlers.begin(), row.handlers.end(), h))
            << "handler " << h << " is not in the row";

    RowWindow w(row);
    std::string out = testutil::capture_stdout(
        [&] { EXPECT_EQ(0, w.init(text.data(), int(text.size()), row.root)); });
    EXPECT_EQ(std::string::npos, out.find(" for ")) << out;
    for (const std::string& id : row.ids)
        EXPECT_NE(nullptr, w.get_widget(id.c_str())) << "no widget " << id;
}

} // namespace

TEST(Bundle, HoldsTheDescriptionAndThePictures)
{
    EXPECT_EQ(1u, select(resource(brisko_glade), "/glade-interface").size());
    for (const char* svg : {"/org/korvane/Tellum/tellum-icon.svg", "/org/korvane/Tellum/korvane-logo.svg"})
        EXPECT_NE(std::string::npos, resource(svg).find("<svg")) << svg;
    const std::vector<std::pair<const char*, int>> pictures = {
        {"/org/korvane/Tellum/tellum-icon.png", 128},        {"/org/korvane/Tellum/glade/monitor.png", 24},
        {"/org/korvane/Tellum/glade/no_monitor.png", 24},    {"/org/korvane/Tellum/glade/status_lock.png", 16},
        {"/org/korvane/Tellum/glade/status_unlocked.png", 16}};
    for (const auto& p : pictures) {
        GError* error = nullptr;
        GdkPixbuf* picture = gdk_pixbuf_new_from_resource(p.first, &error);
        ASSERT_NE(nullptr, picture) << p.first << ": " << error->message;
        EXPECT_EQ(p.second, gdk_pixbuf_get_width(picture)) << p.first;
        EXPECT_EQ(p.second, gdk_pixbuf_get_height(picture)) << p.first;
        g_object_unref(picture);
    }
    load_plugin();
    EXPECT_EQ(1u, select(resource(fenrow_glade), "/glade-interface").size());
}

TEST_F(GuiTest, EveryTopLevelHasItsRowAndBuilds)
{
    load_plugin();
    for (const char* description : {brisko_glade, fenrow_glade}) {
        SCOPED_TRACE(description);
        const std::string text = resource(description);
        std::set<std::string> rows;
        for (const TopLevel& row : top_levels)
            if (row.description == std::string(description))
                rows.insert(row.root);
        EXPECT_EQ(select(text, "/glade-interface/widget/@id"), rows);
        for (const TopLevel& row : top_levels)
            if (row.description == std::string(description))
                check_row(text, row);
    }
}
