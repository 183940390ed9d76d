// Chart pictures and text: real pixels of the raster pictures, vector files
// checked by outside tools, and files that a failure must leave alone.
#include <string>

#include "WidgetTest.h"

namespace {

constexpr int kWidth = 300;
constexpr int kHeight = 200;

bool starts_with(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

void write_file(const std::string& path, const std::string& text)
{
    ASSERT_TRUE(g_file_set_contents(path.c_str(), text.c_str(), static_cast<gssize>(text.size()), nullptr));
}

} // namespace

class ExportTest : public WidgetTest {
protected:
    void SetUp() override
    {
        WidgetTest::SetUp();
        if (IsSkipped())
            return;
        HstHistogram* h = hst_histogram_new(10, 0.0, 10.0, nullptr);
        for (int i = 0; i < 10; i++)
            hst_histogram_set_bin_content(h, i, 5.0);
        GtkWidget* w = hst_chart1d_new(HST_FUNCTION(h));
        g_object_unref(h);
        chart_ = HST_CHART1D(w);
        hst_chart1d_filled(chart_, TRUE);
        hst_chart1d_set_colors(chart_, "background", "white", "curve", "red", nullptr);
        show(w, kWidth, kHeight);
    }

    // A picture property, decoded; NULL when it is no picture of the
    // chart's size.
    GdkPixbuf* picture(const char* prop)
    {
        GString* bytes = nullptr;
        g_object_get(chart_, prop, &bytes, nullptr);
        GdkPixbuf* pb = decode(bytes);
        if (bytes)
            g_string_free(bytes, TRUE);
        if (pb && (gdk_pixbuf_get_width(pb) != kWidth || gdk_pixbuf_get_height(pb) != kHeight)) {
            ADD_FAILURE() << prop << " is " << gdk_pixbuf_get_width(pb) << "x" << gdk_pixbuf_get_height(pb);
            g_clear_object(&pb);
        }
        return pb;
    }

    // The colour at a data point of the last draw.
    Rgb color_at(GdkPixbuf* pb, double x, double y)
    {
        HstPoint p;
        canvas_transform(chart_->cnvs, x, y, &p);
        return pixel(pb, static_cast<int>(p.x), static_cast<int>(p.y));
    }

    HstChart1D* chart_ = nullptr;
};

TEST_F(ExportTest, FilledHistogramAsPng)
{
    const std::string path = temp_path("chart.png");
    ASSERT_EQ(0, hst_chart1d_print(chart_, path.c_str(), "png"));
    EXPECT_TRUE(starts_with(read_file(path), "\x89PNG\r\n\x1a\n"));
    GdkPixbuf* pb = picture("png");
    ASSERT_NE(nullptr, pb);
    // Inside a bar, away from its edges: the curve colour.
    EXPECT_EQ((Rgb{255, 0, 0}), color_at(pb, 4.5, 2.5));
    // Above the bars and in a corner: the background.
    EXPECT_EQ((Rgb{255, 255, 255}), color_at(pb, 4.5, 5.4));
    EXPECT_EQ((Rgb{255, 255, 255}), pixel(pb, kWidth - 1, kHeight - 1));
    g_object_unref(pb);
}

TEST_F(ExportTest, PixbufAndJpegHaveTheChartsSize)
{
    GdkPixbuf* pb = nullptr;
    g_object_get(chart_, "pixmap", &pb, nullptr);
    ASSERT_NE(nullptr, pb);
    EXPECT_EQ(kWidth, gdk_pixbuf_get_width(pb));
    EXPECT_TRUE(gdk_pixbuf_get_has_alpha(pb));
    EXPECT_EQ((Rgb{255, 255, 255}), pixel(pb, 0, kHeight - 1));
    g_object_unref(pb);

    GdkPixbuf* decoded = picture("jpeg");
    ASSERT_NE(nullptr, decoded);
    const Rgb inside = color_at(decoded, 4.5, 2.5);
    EXPECT_GT(inside[0], 200);
    EXPECT_LT(inside[1], 60);
    g_object_unref(decoded);
}

TEST_F(ExportTest, VectorFilesAreValidDocuments)
{
    const std::string pdf = temp_path("chart.pdf");
    const std::string svg = temp_path("chart.svg");
    const std::string eps = temp_path("chart.eps");
    ASSERT_EQ(0, hst_chart1d_print(chart_, pdf.c_str(), "pdf"));
    ASSERT_EQ(0, hst_chart1d_print(chart_, svg.c_str(), "svg"));
    ASSERT_EQ(0, hst_chart1d_print(chart_, eps.c_str(), "eps"));

    std::string out;
    EXPECT_TRUE(starts_with(read_file(pdf), "%PDF-"));
    ASSERT_EQ(0, run_command("pdfinfo " + pdf, &out)) << out;
    EXPECT_TRUE(g_regex_match_simple("^Pages: +1$", out.c_str(), G_REGEX_MULTILINE, GRegexMatchFlags(0))) << out;
    EXPECT_TRUE(g_regex_match_simple("^Page size: +300 x 200 pts", out.c_str(), G_REGEX_MULTILINE,
                                     GRegexMatchFlags(0)))
        << out;

    EXPECT_EQ(0, run_command("xmllint --noout " + svg, &out)) << out;
    EXPECT_NE(std::string::npos, read_file(svg).find("<svg")) << out;

    // Plain PostScript: no EPSF declaration.
    const std::string ps = read_file(eps);
    EXPECT_TRUE(starts_with(ps, "%!PS-Adobe-3.0\n")) << ps.substr(0, 40);
    EXPECT_EQ(std::string::npos, ps.substr(0, 200).find("EPSF"));
    EXPECT_EQ(0, run_command("gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=nullpage " + eps, &out)) << out;
}

TEST_F(ExportTest, FailedPrintsLeaveFilesAlone)
{
    const std::string keep = temp_path("keep.png");
    write_file(keep, "keep");
    testing::internal::CaptureStdout();
    for (const char* format : {"gif", "func", "pixmap", "xtitle"})
        EXPECT_EQ(-1, hst_chart1d_print(chart_, keep.c_str(), format)) << format;
    EXPECT_EQ(-1, hst_chart1d_print(chart_, keep.c_str(), nullptr));
    EXPECT_EQ("keep", read_file(keep));
    const std::string missing = temp_path("out.x");
    EXPECT_EQ(-1, hst_chart1d_print(chart_, missing.c_str(), "gif"));
    EXPECT_FALSE(g_file_test(missing.c_str(), G_FILE_TEST_EXISTS));
    // A folder, or a file in a folder that does not exist.
    EXPECT_EQ(-1, hst_chart1d_print(chart_, g_get_home_dir(), "png"));
    EXPECT_EQ(-1, hst_chart1d_print(chart_, temp_path("no/such/dir.png").c_str(), "png"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("Error. Very likely invalid picture format: gif"));
    EXPECT_NE(std::string::npos, out.find("Cannot open"));

    EXPECT_EQ(-1, hst_chart1d_print(nullptr, keep.c_str(), "png"));
    EXPECT_EQ(1, consume("h!=NULL"));

    // A chart never given a size has no raster picture yet.
    HstHistogram* h = hst_histogram_new(3, 0, 3, nullptr);
    GtkWidget* unshown = g_object_ref_sink(hst_chart1d_new(HST_FUNCTION(h)));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, hst_chart1d_print(HST_CHART1D(unshown), keep.c_str(), "png"));
    EXPECT_EQ(-1, hst_chart1d_print(HST_CHART1D(unshown), keep.c_str(), "pdf"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ("keep", read_file(keep));
    gtk_widget_destroy(unshown);
    g_object_unref(unshown);
    g_object_unref(h);
}

TEST_F(ExportTest, TextOfTheCurves)
{
    const std::string path = temp_path("data.txt");
    ASSERT_EQ(0, _hst_chart1d_save_text(chart_, path.c_str()));
    EXPECT_TRUE(starts_with(read_file(path), "1D 10 0.000000 10.000000\t[nbin xmin xmax]\n")) << read_file(path);

    // Curves of different bin counts have no text: the old file stays.
    write_file(path, "keep");
    HstHistogram* other = hst_histogram_new(7, 0, 7, nullptr);
    hst_chart1d_add_curve(chart_, HST_FUNCTION(other));
    g_object_unref(other);
    EXPECT_EQ(-1, _hst_chart1d_save_text(chart_, path.c_str()));
    EXPECT_EQ(1, consume("No text form of the chart"));
    EXPECT_EQ("keep", read_file(path));

    // A file that cannot be opened is a warning, not the end of the process.
    hst_chart1d_remove_curves(chart_);
    HstHistogram2D* h2 = hst_histogram2d_new(2, 0, 2, 2, 0, 2, nullptr);
    hst_chart1d_add_curve(chart_, HST_FUNCTION(h2));
    g_object_unref(h2);
    EXPECT_EQ(-1, _hst_chart1d_save_text(chart_, g_get_home_dir()));
    EXPECT_EQ(1, consume("Could not open output file"));
    ASSERT_EQ(0, _hst_chart1d_save_text(chart_, path.c_str()));
    EXPECT_TRUE(starts_with(read_file(path), "2D 2 ")) << read_file(path);
}

TEST_F(ExportTest, ImageFileSuffixRule)
{
    struct Case {
        const char* name;
        const char* type;
        int question;
        const char* with_suffix;
    };
    const Case cases[] = {
        {"plot.JPG", "jpeg", 0, nullptr},
        {"plot", "jpeg", 1, "plot.jpg"},
        {"plot.png", "pdf", 2, "plot.png.pdf"},
        {"plot.jpg", "png", 0, nullptr},
        {"plot.svg", "svg", 0, nullptr},
        {"my.dir/plot", "eps", 2, "my.dir/plot.eps"},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(k.question, _hst_image_suffix_question(k.name, k.type)) << k.name << " " << k.type;
        if (k.with_suffix) {
            gchar* full = _hst_image_add_suffix(k.name, k.type);
            EXPECT_STREQ(k.with_suffix, full);
            g_free(full);
        }
    }
}
