/* Widget factories shared by every window: labels, buttons and list or tree
 * views built from static description tables, font weight, and input filters
 * for text entries (media names, timecodes) with timecode completion.
 * Main thread only, under the GDK lock. */
#pragma once
#include <gtk/gtk.h>

/* One row of a column plan; a plan ends with a row whose idx is -1. The last
 * four model columns of every plan are, in order: background set (boolean),
 * background colour (text), foreground set (boolean), foreground colour
 * (text); every visible text column takes its colours from them.
 * type: G_TYPE_STRING, G_TYPE_INT, G_TYPE_BOOLEAN, G_TYPE_POINTER,
 * G_TYPE_INT64 or G_TYPE_OBJECT (an image: the store column holds a
 * GdkPixbuf). A null title makes a hidden model column. */
typedef struct ui_column_desc
{
    int idx;
    const char *title;
    GType type;
} ui_column_t;

/* One row of a button table; a table ends with a row whose id is 0.
 * stock: stock icon name, null or empty to use inline_data, a built-in image
 * in the serialized GdkPixbuf format (see ui_images.h). */
typedef struct ui_button_desc
{
    int id;
    const char *tooltip;
    const char *stock;
    const char *label;
    const char *hookup;
    const guint8 *inline_data;
} ui_button_t;

/* Text entry filter record, attached under "ui_attach_entry_filter_t". */
typedef struct ui_attach_entry_filter_desc
{
    char *allow_chars_only; /* null: everything not dropped is kept */
    char *drop_chars_only;  /* null: nothing is dropped by name */
} ui_attach_entry_filter_t;

/* Timecode completion record, attached under "tc_completition_t". */
typedef struct tc_completition_desc
{
    GtkWidget *entry;
    GtkEntryCompletion *completition;
} tc_completition_t;

/* Labels. jtype: a GtkJustification, applied when nonzero. With reg the
 * label is registered on top under that name, holding a reference. */
GtkWidget *ui_create_label(GtkWidget *top, const char *text, const char *reg, int jtype);
/* The same label inside an alignment: left 0, right 1, centre 0.5,
 * vertically centred. The label goes to *plabel when plabel is given. */
GtkWidget *ui_create_label_align(GtkWidget *top, const char *text, const char *reg, int jtype, GtkWidget **plabel);

/* Tree views over a new list or tree store built from the plan: alternating
 * rows, grid lines both ways, multiple selection. The tree variant registers
 * the view on top under name; the list variant uses neither.
 * Each titled text column has one GtkCellRendererText showing its own model
 * column (numbers through GTK's transforms); with the colour columns in the
 * plan a cell data function gives it the row's colours, and the view owns
 * the text and colour properties of these renderers. Their sizes are kept
 * by text, so a list of many rows is measured with one layout per distinct
 * text of a column; a change of the view's style or direction, or of a
 * renderer's font or other layout property, has them measured again. */
GtkWidget *ui_create_treeview_list(GtkWidget *top, const char *name, const ui_column_desc *columns);
GtkWidget *ui_create_treeview_tree(GtkWidget *top, const char *name, const ui_column_desc *columns);
/* The text cells of a view made above (with the colour columns) take each
 * row's font weight from weight_of (a Pango weight; 0 leaves the renderer's
 * own), read once per row like its colours. 0, or -22 for another view. */
typedef int (*ui_row_weight_proc)(GtkTreeModel *model, GtkTreeIter *iter, void *data);
int ui_treeview_set_row_weight(GtkWidget *view, ui_row_weight_proc weight_of, void *data);

/* A flat button with an image and a label (object data "label"); registered
 * on top under info->hookup when given. */
GtkWidget *ui_create_button(GtkWidget *top, const ui_button_desc *info);
/* An image-only button; the row is kept under "ui_button_desc_t". Null for a
 * null info. */
GtkWidget *ui_create_button_image(const ui_button_desc *info);
/* The row of buttons with that id, or null when the end row comes first. */
const ui_button_desc *ui_button_lookup(const ui_button_desc *buttons, int id);

/* Font weight of the widget (PANGO_WEIGHT_BOLD 700, _NORMAL 400): 0, or -22
 * without a widget. */
int ui_set_font_weight(GtkWidget *widget, int weight);

/* child in a frameless scrolled window that scrolls it sideways only: it
 * asks for the child's height (and its scroll bar's) but hardly any width,
 * so a row too wide for a small screen scrolls instead of widening the
 * window or being cut off. */
GtkWidget *ui_hscroller(GtkWidget *child);

/* Entry filters: every inserted character found in drop_chars_only is
 * dropped; otherwise it is kept when allow_chars_only is null or holds it.
 * The kept text is inserted where the typed or pasted text was to go.
 * Attaching again replaces the sets. 0, or -22 without an entry. */
int ui_attach_entry_filter(GtkWidget *entry, const char *allow_chars_only, const char *drop_chars_only);
/* Media names: drops "\\\n\r\t:/". */
int ui_attach_entry_filter_media_id(GtkWidget *entry);
/* Timecodes: allows "0123456789:" only. */
int ui_attach_entry_filter_timecode(GtkWidget *entry);
/* Timecode filter plus a completion offering the full HH:MM:SS:FF form of a
 * short timecode (tc_tc2hmsf). */
int ui_attach_tc_completition(GtkWidget *entry);
