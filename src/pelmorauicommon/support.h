/* Pixmap directories: the search list for image files named by the program,
 * filled at start-up with share/PelmoraBoxUI/pixmaps beside bin/. */
#pragma once

void add_pixmap_directory(const char *directory);
/* The first existing "<directory>/<filename>" of the list, newly allocated
 * (g_free), or null. */
char *find_pixmap_file(const char *filename);
