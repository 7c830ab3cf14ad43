/* Pixmap directory list. The newest directory is searched first. */
#include "support.h"

#include <glib.h>

namespace {
GList *pixmaps_directories;
}

void add_pixmap_directory(const char *directory)
{
    pixmaps_directories = g_list_prepend(pixmaps_directories, g_strdup(directory));
}

char *find_pixmap_file(const char *filename)
{
    for (GList *elem = pixmaps_directories; elem; elem = elem->next) {
        char *pathname = g_strdup_printf("%s%s%s", (const char *)elem->data, G_DIR_SEPARATOR_S, filename);
        if (g_file_test(pathname, G_FILE_TEST_EXISTS))
            return pathname;
        g_free(pathname);
    }
    return nullptr;
}
