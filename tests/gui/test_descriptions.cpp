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
    {fenrow_glade, "dlgConfigBoard",
     {"cmbChipType", "txtNhybrid", "txtNchip", "slot1", "slot2", "slot3", "slot4", "slot5", "slot6", "slot7",
      "slot8", "btnOK", "btnCancel"},
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
