/* Pixmap directories: the search list for image files named by the program,
 * filled at start-up with share/PelmoraBoxUI/pixmaps beside bin/; loading
 * such files, and finding widgets registered on a window by name. */
#pragma once

typedef struct _GtkWidget GtkWidget;
typedef struct _GdkPixbuf GdkPixbuf;

void add_pixmap_directory(const char *directory);
/* The first existing "<directory>/<filename>" of the list, newly allocated
 * (g_free), or null. */
char *find_pixmap_file(const char *filename);

/* An image widget of the file found in the list; an empty image (logged)
 * when the file is missing or unreadable. Main thread. */
GtkWidget *create_pixmap(const char *filename);
/* A new pixbuf of the file found in the list (caller unrefs), or null
 * (logged). */
GdkPixbuf *create_pixbuf(const char *filename);

/* Climbs from widget to its top-level (through menu attach widgets and the
 * "GladeParentKey" data) and returns what is registered there under name,
 * or null (logged "Widget not found: %s"). */
GtkWidget *lookup_widget(GtkWidget *widget, const char *name);
