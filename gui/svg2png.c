/* Build tool: renders one of our SVG drawings to a PNG of a given size.
 *     svg2png SVG SIZE PNG
 */
#include <stdio.h>
#include <stdlib.h>

#include <gdk-pixbuf/gdk-pixbuf.h>

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s SVG SIZE PNG\n", argv[0]);
        return 2;
    }
    const int size = atoi(argv[2]);
    GError* error = NULL;
    GdkPixbuf* picture = gdk_pixbuf_new_from_file_at_size(argv[1], size, size, &error);
    if (!picture || !gdk_pixbuf_save(picture, argv[3], "png", &error, NULL)) {
        fprintf(stderr, "%s: %s\n", argv[1], error ? error->message : "cannot render");
        return 1;
    }
    g_object_unref(picture);
    return 0;
}
