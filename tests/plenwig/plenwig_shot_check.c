/* Checks a screenshot of the demo window: it has the window's size, and the
 * region of each widget shows that widget rather than a blank area.
 *
 *   plenwig_shot_check SHOT.png GEOMETRY
 *
 * GEOMETRY is what plenwig_demo printed. Exit status 0 when it shows all
 * three widgets. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gdk-pixbuf/gdk-pixbuf.h>

typedef struct {
    char name[32];
    int x, y, w, h;
} Region;

/* Distinct colours in a region, and how many pixels are near a colour. */
static void survey(GdkPixbuf* pb, const Region* r, const int rgb[3], int* ncolors, int* nnear)
{
    GHashTable* seen = g_hash_table_new(g_direct_hash, g_direct_equal);
    const int nch = gdk_pixbuf_get_n_channels(pb);
    const int stride = gdk_pixbuf_get_rowstride(pb);
    const guchar* px = gdk_pixbuf_get_pixels(pb);
    *nnear = 0;
    for (int y = r->y; y < r->y + r->h && y < gdk_pixbuf_get_height(pb); y++)
        for (int x = r->x; x < r->x + r->w && x < gdk_pixbuf_get_width(pb); x++) {
            const guchar* p = px + y * stride + x * nch;
            g_hash_table_add(seen, GUINT_TO_POINTER(((guint)p[0] << 16) | ((guint)p[1] << 8) | p[2]));
            if (abs(p[0] - rgb[0]) + abs(p[1] - rgb[1]) + abs(p[2] - rgb[2]) < 30)
                (*nnear)++;
        }
    *ncolors = (int)g_hash_table_size(seen);
    g_hash_table_destroy(seen);
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s SHOT.png GEOMETRY\n", argv[0]);
        return 2;
    }
    GError* err = NULL;
    GdkPixbuf* pb = gdk_pixbuf_new_from_file(argv[1], &err);
    if (!pb) {
        fprintf(stderr, "cannot read %s: %s\n", argv[1], err->message);
        return 1;
    }
    FILE* fp = fopen(argv[2], "r");
    if (!fp) {
        fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    /* What each widget cannot be without: the 1D chart's bars, the 2D
     * chart's many colours, the gauge's band. */
    static const struct {
        const char* name;
        int rgb[3];
        int min_near;
        int min_colors;
    } expect[] = {
        {"chart1d", {70, 130, 180}, 200, 3},
        {"chart2d", {0, 0, 255}, 0, 12},
        {"gauge", {255, 0, 0}, 200, 3},
    };
    int failures = 0, found = 0, ww = 0, wh = 0;
    char line[256];
    while (fgets(line, sizeof line, fp)) {
        Region r;
        unsigned long xid;
        if (sscanf(line, "window %lx %d %d", &xid, &ww, &wh) == 3)
            continue;
        if (sscanf(line, "widget %31s %d %d %d %d", r.name, &r.x, &r.y, &r.w, &r.h) != 5)
            continue;
        for (size_t i = 0; i < G_N_ELEMENTS(expect); i++) {
            if (strcmp(expect[i].name, r.name) != 0)
                continue;
            found++;
            int ncolors = 0, nnear = 0;
            survey(pb, &r, expect[i].rgb, &ncolors, &nnear);
            const int ok = r.w > 10 && r.h > 10 && ncolors >= expect[i].min_colors && nnear >= expect[i].min_near;
            printf("%s at %d,%d %dx%d: %d colours, %d pixels of its colour: %s\n", r.name, r.x, r.y, r.w, r.h,
                   ncolors, nnear, ok ? "ok" : "NOT SHOWN");
            failures += !ok;
        }
    }
    fclose(fp);
    if (gdk_pixbuf_get_width(pb) != ww || gdk_pixbuf_get_height(pb) != wh) {
        printf("screenshot %dx%d, window %dx%d\n", gdk_pixbuf_get_width(pb), gdk_pixbuf_get_height(pb), ww, wh);
        failures++;
    }
    if (found != (int)G_N_ELEMENTS(expect)) {
        printf("%d of %d widgets reported\n", found, (int)G_N_ELEMENTS(expect));
        failures++;
    }
    g_object_unref(pb);
    return failures ? 1 : 0;
}
