/* Widget factories, entry filters and timecode completion. */
#include "ui_tools.h"

#include <libintl.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "timecode.h"

namespace {

const char *const TEXT_DOMAIN = "PelmoraBox";
const char *const FILTER_KEY = "ui_attach_entry_filter_t";
const char *const COMPLETITION_KEY = "tc_completition_t";

const char *tr(const char *s)
{
    return (s && *s) ? dgettext(TEXT_DOMAIN, s) : s;
}

/* Registers w on top under name the way every window looks its widgets up
 * (object data holding a reference). */
void hookup(GtkWidget *top, const char *name, GtkWidget *w)
{
    if (!top || !name || !*name)
        return;
    g_object_set_data_full(G_OBJECT(top), name, g_object_ref(w), g_object_unref);
}

GtkWidget *image_from_desc(const ui_button_desc *info)
{
    if (info->stock && *info->stock)
        return gtk_image_new_from_stock(info->stock, GTK_ICON_SIZE_MENU);
    if (info->inline_data) {
        GError *err = nullptr;
        GdkPixbuf *pb = gdk_pixbuf_new_from_inline(-1, info->inline_data, TRUE, &err);
        if (pb) {
            GtkWidget *img = gtk_image_new_from_pixbuf(pb);
            g_object_unref(pb);
            return img;
        }
        g_warning("%s: bad built-in image of button %d: %s", "ui_create_button", info->id, err ? err->message : "?");
        if (err)
            g_error_free(err);
    }
    return nullptr;
}

/* An image column: G_TYPE_OBJECT as the plans write it, or the pixbuf type
 * itself. */
bool is_image(GType t)
{
    return t == G_TYPE_OBJECT || g_type_is_a(t, GDK_TYPE_PIXBUF);
}

/* ---- measured text sizes ----
 * Once a list is shown GTK measures every row of it in the background, to
 * size the columns and the scroll range, and a text cell's size costs a full
 * Pango layout of its text (5 to 13 us here): a grid of 10,000 rows and 20
 * text columns spends most of that measuring there. Most columns repeat a
 * few texts (types, marks, ratios, empty cells), so each text renderer of
 * these views keeps the sizes it measured, by text. GTK 2 offers no per-object
 * override and callers look these renderers up as plain text renderers, so
 * the cache sits behind the text renderer class's size function; renderers
 * without a cache, and calls that place a cell in an area rather than measure
 * it, go straight to GTK's own. Sizes are dropped when the view's style,
 * direction or screen changes (fonts, resolution) and when a property of the
 * renderer other than its text or colours is set. */

const int TEXT_SIZES_MAX = 128; /* a column of unique texts would grow it without end */

struct text_sizes_desc
{
    guint view_id = 0;        /* the view and style the sizes were measured in */
    guint xpad = 0, ypad = 0; /* the renderer's padding they include */
    std::unordered_map<std::string, std::pair<gint, gint>> sizes;
    std::string key; /* kept, so a lookup allocates nothing */
};

GQuark text_sizes_quark;
GQuark view_id_quark;
guint view_id_last;
void (*text_get_size_gtk)(GtkCellRenderer *, GtkWidget *, GdkRectangle *, gint *, gint *, gint *, gint *);
/* Properties that leave a text's size as it is. */
std::vector<GParamSpec *> size_neutral;

void text_get_size(GtkCellRenderer *cell, GtkWidget *widget, GdkRectangle *area, gint *x_offset, gint *y_offset,
                   gint *width, gint *height)
{
    auto *ts = static_cast<text_sizes_desc *>(g_object_get_qdata(G_OBJECT(cell), text_sizes_quark));
    guint id = ts && widget ? GPOINTER_TO_UINT(g_object_get_qdata(G_OBJECT(widget), view_id_quark)) : 0;
    /* The text field is public in GTK 2's headers; reading it costs nothing,
     * where asking for the property copies the text. */
    const gchar *text = id ? GTK_CELL_RENDERER_TEXT(cell)->text : nullptr;
    if (!text || area || x_offset || y_offset || !width || !height) {
        text_get_size_gtk(cell, widget, area, x_offset, y_offset, width, height);
        return;
    }
    if (ts->view_id != id || ts->xpad != cell->xpad || ts->ypad != cell->ypad) {
        ts->sizes.clear();
        ts->view_id = id;
        ts->xpad = cell->xpad;
        ts->ypad = cell->ypad;
    }
    ts->key.assign(text);
    auto it = ts->sizes.find(ts->key);
    if (it != ts->sizes.end()) {
        *width = it->second.first;
        *height = it->second.second;
        return;
    }
    text_get_size_gtk(cell, widget, area, x_offset, y_offset, width, height);
    if ((int)ts->sizes.size() >= TEXT_SIZES_MAX)
        ts->sizes.clear();
    ts->sizes.emplace(ts->key, std::make_pair(*width, *height));
}

void (*text_set_property_gtk)(GObject *, guint, const GValue *, GParamSpec *);

/* Every text renderer property passes here on its way to GTK's own setter;
 * a change that can alter sizes drops the renderer's sizes. (A notify
 * handler would do the same but costs a signal emission for every text set
 * while the rows are measured.) */
void text_set_property(GObject *cell, guint id, const GValue *value, GParamSpec *pspec)
{
    if (auto *ts = static_cast<text_sizes_desc *>(g_object_get_qdata(cell, text_sizes_quark))) {
        bool neutral = false;
        for (GParamSpec *p : size_neutral)
            neutral = neutral || p == pspec;
        if (!neutral)
            ts->sizes.clear();
    }
    text_set_property_gtk(cell, id, value, pspec);
}

void text_sizes_release(gpointer data)
{
    delete static_cast<text_sizes_desc *>(data);
}

/* A fresh id for the view: its sizes so far no longer hold. */
void view_id_renew(GtkWidget *view)
{
    g_object_set_qdata(G_OBJECT(view), view_id_quark, GUINT_TO_POINTER(++view_id_last));
}

void view_style_set(GtkWidget *view, GtkStyle *, gpointer)
{
    view_id_renew(view);
}

void view_direction_changed(GtkWidget *view, GtkTextDirection, gpointer)
{
    view_id_renew(view);
}

void view_screen_changed(GtkWidget *view, GdkScreen *, gpointer)
{
    view_id_renew(view);
}

void text_sizes_install()
{
    if (text_sizes_quark)
        return;
    text_sizes_quark = g_quark_from_static_string("ui_tools_text_sizes");
    view_id_quark = g_quark_from_static_string("ui_tools_view_id");
    auto *klass = GTK_CELL_RENDERER_CLASS(g_type_class_ref(GTK_TYPE_CELL_RENDERER_TEXT));
    text_get_size_gtk = klass->get_size;
    klass->get_size = text_get_size;
    text_set_property_gtk = G_OBJECT_CLASS(klass)->set_property;
    G_OBJECT_CLASS(klass)->set_property = text_set_property;
    /* The text is the key; colours and editing leave the layout alone. */
    static const char *const neutral[] = {"text",           "background", "background-gdk",
                                          "background-set", "foreground", "foreground-gdk",
                                          "foreground-set", "editable",   "editable-set"};
    for (const char *name : neutral)
        if (GParamSpec *p = g_object_class_find_property(G_OBJECT_CLASS(klass), name))
            size_neutral.push_back(p);
}

/* The view's text renderers keep their sizes from now on. */
void text_sizes_watch_view(GtkWidget *view)
{
    text_sizes_install();
    view_id_renew(view);
    g_signal_connect(view, "style-set", G_CALLBACK(view_style_set), nullptr);
    g_signal_connect(view, "direction-changed", G_CALLBACK(view_direction_changed), nullptr);
    g_signal_connect(view, "screen-changed", G_CALLBACK(view_screen_changed), nullptr);
}

void text_sizes_attach(GtkCellRenderer *r)
{
    g_object_set_qdata_full(G_OBJECT(r), text_sizes_quark, new text_sizes_desc, text_sizes_release);
}

/* ---- text cells ----
 * A text cell takes its text from its own model column and its colours from
 * the plan's last four columns. Bound as attributes, GTK reads five values
 * and sets five properties per cell, parsing the colour text each time,
 * whenever it measures or draws a row. The cell function reads a row's
 * colours once for all its cells (the view measures and draws a row's cells
 * one after another), parses each colour text once, and sets a renderer's
 * colours only when they differ from what it was last given. */

/* One side's colour as GTK's binding would leave it: a colour turns the flag
 * on, no colour turns it off, an unknown name (reported as GTK reports it)
 * leaves the flag as its column says and the colour as it was. */
struct side_colour_desc
{
    bool set = false;
    bool have = false;
    GdkColor c{};
};

/* What the view's text cells share: the model they read, a count of its
 * changes, the colours of the row last read and the parsed colour texts. */
struct row_colours_desc
{
    GtkTreeModel *model = nullptr; /* watched (weakly: the view holds it) */
    gulong handlers[4] = {};
    guint changes = 0;
    bool valid = false;
    GtkTreeIter iter{};
    guint iter_changes = 0;
    side_colour_desc bg, fg;
    std::unordered_map<std::string, GdkColor> parsed;
    /* The row's font weight (0: the renderer's own), from weight_of. */
    ui_row_weight_proc weight_of = nullptr;
    void *weight_data = nullptr;
    int weight = 0;

    ~row_colours_desc();
};

GQuark row_colours_quark;

void row_colours_model_gone(gpointer data, GObject *)
{
    static_cast<row_colours_desc *>(data)->model = nullptr;
}

row_colours_desc::~row_colours_desc()
{
    if (!model)
        return;
    for (gulong h : handlers)
        g_signal_handler_disconnect(model, h);
    g_object_weak_unref(G_OBJECT(model), row_colours_model_gone, this);
}

void model_changed(GtkTreeModel *, gpointer data)
{
    static_cast<row_colours_desc *>(data)->changes++;
}

void model_row_changed(GtkTreeModel *m, GtkTreePath *, GtkTreeIter *, gpointer data)
{
    model_changed(m, data);
}

void model_row_deleted(GtkTreeModel *m, GtkTreePath *, gpointer data)
{
    model_changed(m, data);
}

void model_rows_reordered(GtkTreeModel *m, GtkTreePath *, GtkTreeIter *, gpointer, gpointer data)
{
    model_changed(m, data);
}

std::shared_ptr<row_colours_desc> row_colours_new(GtkTreeModel *model)
{
    auto rc = std::make_shared<row_colours_desc>();
    rc->model = model;
    gpointer d = rc.get();
    g_object_weak_ref(G_OBJECT(model), row_colours_model_gone, d);
    rc->handlers[0] = g_signal_connect(model, "row-changed", G_CALLBACK(model_row_changed), d);
    rc->handlers[1] = g_signal_connect(model, "row-inserted", G_CALLBACK(model_row_changed), d);
    rc->handlers[2] = g_signal_connect(model, "row-deleted", G_CALLBACK(model_row_deleted), d);
    rc->handlers[3] = g_signal_connect(model, "rows-reordered", G_CALLBACK(model_rows_reordered), d);
    return rc;
}

void resolve_side(row_colours_desc *rc, gboolean set_v, const char *text, side_colour_desc *side)
{
    side->have = false;
    /* The flag decides: a colour name beside a false flag (the library and
     * the subclip list store "red" that way) colours nothing. */
    if (!text || !set_v) {
        side->set = false;
        return;
    }
    auto it = rc->parsed.find(text);
    if (it != rc->parsed.end()) {
        side->c = it->second;
        side->have = side->set = true;
        return;
    }
    GdkColor c;
    if (!gdk_color_parse(text, &c)) {
        g_warning("Don't know color `%s'", text);
        side->set = set_v;
        return;
    }
    if (rc->parsed.size() >= 256) /* colours come from settings; bound it anyway */
        rc->parsed.clear();
    rc->parsed.emplace(text, c);
    side->c = c;
    side->have = side->set = true;
}

bool same_row(const GtkTreeIter &a, const GtkTreeIter &b)
{
    return a.stamp == b.stamp && a.user_data == b.user_data && a.user_data2 == b.user_data2 &&
           a.user_data3 == b.user_data3;
}

/* The row's colours, read from the model unless they are the last row's and
 * the model has not changed since. */
const row_colours_desc *row_colours(row_colours_desc *rc, GtkTreeModel *model, GtkTreeIter *iter, int k)
{
    if (model == rc->model && rc->valid && rc->iter_changes == rc->changes && same_row(rc->iter, *iter))
        return rc;
    gchar *bg = nullptr, *fg = nullptr;
    gboolean bg_set = FALSE, fg_set = FALSE;
    gtk_tree_model_get(model, iter, k, &bg_set, k + 1, &bg, k + 2, &fg_set, k + 3, &fg, -1);
    resolve_side(rc, bg_set, bg, &rc->bg);
    resolve_side(rc, fg_set, fg, &rc->fg);
    g_free(bg);
    g_free(fg);
    rc->weight = rc->weight_of ? rc->weight_of(model, iter, rc->weight_data) : 0;
    /* Rows of another model (the view's model replaced) are never kept. */
    rc->valid = model == rc->model;
    rc->iter = *iter;
    rc->iter_changes = rc->changes;
    return rc;
}

/* One text cell: its text column and what its renderer was last given. */
struct text_cell_desc
{
    int text_col;   /* -1: the text is bound as an attribute */
    int colour_col; /* first of the four colour columns */
    std::shared_ptr<row_colours_desc> rows;
    bool known = false; /* bg and fg below are what the renderer has */
    side_colour_desc bg, fg;
    int weight = 0;
};

bool same_colour(const GdkColor &a, const GdkColor &b)
{
    return a.red == b.red && a.green == b.green && a.blue == b.blue;
}

void apply_side(GObject *r, bool known, const side_colour_desc &want, side_colour_desc *cur, const char *set_prop,
                const char *gdk_prop)
{
    if (want.have) {
        if (!known || !cur->set || !cur->have || !same_colour(want.c, cur->c)) {
            g_object_set(r, gdk_prop, &want.c, NULL);
            cur->c = want.c;
            cur->have = true;
        }
    } else if (!known || want.set != cur->set) {
        g_object_set(r, set_prop, want.set ? TRUE : FALSE, NULL);
    }
    cur->set = want.set;
}

void text_cell_data(GtkTreeViewColumn *, GtkCellRenderer *cell, GtkTreeModel *model, GtkTreeIter *iter, gpointer data)
{
    auto *tc = static_cast<text_cell_desc *>(data);
    GObject *r = G_OBJECT(cell);
    if (tc->text_col >= 0) {
        GValue v = G_VALUE_INIT;
        gtk_tree_model_get_value(model, iter, tc->text_col, &v);
        g_object_set(r, "text", g_value_get_string(&v), NULL);
        g_value_unset(&v);
    }
    const row_colours_desc *rc = row_colours(tc->rows.get(), model, iter, tc->colour_col);
    apply_side(r, tc->known, rc->bg, &tc->bg, "background-set", "background-gdk");
    apply_side(r, tc->known, rc->fg, &tc->fg, "foreground-set", "foreground-gdk");
    /* Set only on a change: a new weight drops the renderer's measured
     * sizes, which a list with one bold row then does twice a pass. */
    if (rc->weight != tc->weight) {
        if (rc->weight > 0)
            g_object_set(r, "weight", rc->weight, NULL);
        else
            g_object_set(r, "weight-set", FALSE, NULL);
        tc->weight = rc->weight;
    }
    tc->known = true;
}

void text_cell_release(gpointer data)
{
    delete static_cast<text_cell_desc *>(data);
}

/* Builds the view over model from the plan; takes over the model reference. */
GtkWidget *create_treeview(GtkTreeModel *model, const ui_column_desc *columns, int n)
{
    /* The colour columns are bound only when the plan ends with them as
     * documented; a shorter or different tail would make GTK refuse the
     * binding on every row. */
    bool colours = n >= 4 && columns[n - 4].type == G_TYPE_BOOLEAN && columns[n - 3].type == G_TYPE_STRING &&
                   columns[n - 2].type == G_TYPE_BOOLEAN && columns[n - 1].type == G_TYPE_STRING;
    if (n >= 4 && !colours)
        g_warning("%s: plan of %d columns does not end with the colour columns", "ui_create_treeview", n);
    /* The cells' row reader watches the model ahead of the view, so a
     * change is counted before the view reacts to it. */
    std::shared_ptr<row_colours_desc> rows = colours ? row_colours_new(model) : nullptr;

    GtkWidget *view = gtk_tree_view_new_with_model(model);
    g_object_unref(model);

    gtk_widget_show(view);
    gtk_tree_view_set_rules_hint(GTK_TREE_VIEW(view), TRUE);
    gtk_tree_view_set_grid_lines(GTK_TREE_VIEW(view), GTK_TREE_VIEW_GRID_LINES_BOTH);
    gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(view)), GTK_SELECTION_MULTIPLE);
    text_sizes_watch_view(view);

    for (int i = 0; i < n; i++) {
        const ui_column_desc *c = &columns[i];
        if (!c->title)
            continue;
        GtkCellRenderer *r;
        GtkTreeViewColumn *col;
        if (is_image(c->type)) {
            r = gtk_cell_renderer_pixbuf_new();
            g_object_set(r, "xpad", 0, "ypad", 0, NULL);
            col = gtk_tree_view_column_new_with_attributes(tr(c->title), r, "pixbuf", c->idx, NULL);
        } else if (c->type == G_TYPE_BOOLEAN) {
            r = gtk_cell_renderer_toggle_new();
            col = gtk_tree_view_column_new_with_attributes(tr(c->title), r, "active", c->idx, NULL);
        } else if (!colours || c->type != G_TYPE_STRING) {
            /* Numbers are turned into text by GTK's own value transforms. */
            r = gtk_cell_renderer_text_new();
            col = gtk_tree_view_column_new_with_attributes(tr(c->title), r, "text", c->idx, NULL);
            if (colours) {
                auto *tc = new text_cell_desc{-1, n - 4, rows, false, {}, {}};
                gtk_tree_view_column_set_cell_data_func(col, r, text_cell_data, tc, text_cell_release);
            }
        } else {
            r = gtk_cell_renderer_text_new();
            col = gtk_tree_view_column_new();
            gtk_tree_view_column_set_title(col, tr(c->title));
            gtk_tree_view_column_pack_start(col, r, TRUE);
            auto *tc = new text_cell_desc{c->idx, n - 4, rows, false, {}, {}};
            gtk_tree_view_column_set_cell_data_func(col, r, text_cell_data, tc, text_cell_release);
        }
        if (GTK_IS_CELL_RENDERER_TEXT(r))
            text_sizes_attach(r);
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), col);
    }
    /* The cells' shared reader, for ui_treeview_set_row_weight: it lives as
     * long as the cells that hold it. */
    if (rows && rows.use_count() > 1) {
        if (!row_colours_quark)
            row_colours_quark = g_quark_from_static_string("ui_tools_row_colours");
        g_object_set_qdata(G_OBJECT(view), row_colours_quark, rows.get());
    }
    return view;
}

int plan_types(const ui_column_desc *columns, std::vector<GType> &types)
{
    for (int i = 0; columns[i].idx != -1; i++)
        types.push_back(is_image(columns[i].type) ? GDK_TYPE_PIXBUF : columns[i].type);
    return (int)types.size();
}

/* ---- entry filter ---- */

bool set_holds(const char *set, const char *ch, size_t len)
{
    if (!set || !len || memchr(ch, 0, len))
        return false;
    std::string c(ch, len);
    return strstr(set, c.c_str()) != nullptr;
}

void entry_filter_insert_text(GtkEditable *editable, gchar *new_text, gint new_text_length, gint *position, gpointer)
{
    static const char *const fn = "ui_attach_entry_filter_insert_text";
    auto *f = (ui_attach_entry_filter_t *)g_object_get_data(G_OBJECT(editable), FILTER_KEY);
    if (!f || !new_text)
        return;

    size_t len = new_text_length < 0 ? strlen(new_text) : (size_t)new_text_length;
    const char *p = new_text, *end = new_text + len;
    std::string kept;
    /* Whole characters are judged, so a multi-byte character is kept or
     * dropped as one and the entry never receives a broken sequence. */
    while (p < end) {
        gunichar uc = g_utf8_get_char_validated(p, end - p);
        size_t n;
        unsigned code;
        bool valid = uc != (gunichar)-1 && uc != (gunichar)-2;
        if (valid) {
            n = g_utf8_next_char(p) - p;
            code = uc;
        } else {
            n = 1;
            code = (unsigned char)*p;
        }
        if (valid && set_holds(f->drop_chars_only, p, n))
            g_warning("%s: dropping symbol [0x%.2X]", fn, code);
        else if (valid && code && (!f->allow_chars_only || set_holds(f->allow_chars_only, p, n)))
            kept.append(p, n);
        else
            g_warning("%s: not allowing symbol [0x%.2X]", fn, code);
        p += n;
    }

    if (!kept.empty()) {
        g_signal_handlers_block_by_func(editable, (gpointer)entry_filter_insert_text, nullptr);
        gtk_editable_insert_text(editable, kept.data(), (gint)kept.size(), position);
        g_signal_handlers_unblock_by_func(editable, (gpointer)entry_filter_insert_text, nullptr);
    }
    g_signal_stop_emission_by_name(editable, "insert-text");
}

void entry_filter_release(gpointer data)
{
    auto *f = (ui_attach_entry_filter_t *)data;
    g_warning("%s", "ui_attach_entry_filter_release");
    g_free(f->allow_chars_only);
    g_free(f->drop_chars_only);
    g_free(f);
}

/* ---- timecode completion ---- */

gboolean tc_completition_match(GtkEntryCompletion *, const gchar *, GtkTreeIter *, gpointer)
{
    /* The model holds only what the current text expands to. */
    return TRUE;
}

void tc_completition_changed(GtkEditable *editable, gpointer)
{
    auto *tc = (tc_completition_t *)g_object_get_data(G_OBJECT(editable), COMPLETITION_KEY);
    if (!tc)
        return;
    const char *text = gtk_entry_get_text(GTK_ENTRY(editable));
    g_warning("%s: [%s]", __func__, text);

    GtkListStore *store = GTK_LIST_STORE(gtk_entry_completion_get_model(tc->completition));
    gtk_list_store_clear(store);
    int hh = 0, mm = 0, ss = 0, ff = 0;
    if (tc_tc2hmsf(text, &hh, &mm, &ss, &ff) >= 0) {
        char buf[64];
        snprintf(buf, sizeof(buf), "%.2d:%.2d:%.2d:%.2d", hh, mm, ss, ff);
        GtkTreeIter it;
        gtk_list_store_append(store, &it);
        gtk_list_store_set(store, &it, 0, buf, -1);
    }
}

void tc_completition_release(gpointer data)
{
    auto *tc = (tc_completition_t *)data;
    g_warning("%s", "tc_completition_release");
    g_object_unref(tc->completition);
    g_free(tc);
}

} // namespace

GtkWidget *ui_create_label(GtkWidget *top, const char *text, const char *reg, int jtype)
{
    GtkWidget *label = gtk_label_new(nullptr);
    gtk_widget_show(label);
    if (jtype)
        gtk_label_set_justify(GTK_LABEL(label), (GtkJustification)jtype);
    hookup(top, reg, label);
    if (text)
        gtk_label_set_text(GTK_LABEL(label), text);
    return label;
}

GtkWidget *ui_create_label_align(GtkWidget *top, const char *text, const char *reg, int jtype, GtkWidget **plabel)
{
    float x = 0.0f;
    if (jtype == GTK_JUSTIFY_RIGHT)
        x = 1.0f;
    else if (jtype == GTK_JUSTIFY_CENTER)
        x = 0.5f;
    GtkWidget *align = gtk_alignment_new(x, 0.5f, 0.0f, 0.0f);
    gtk_widget_show(align);
    GtkWidget *label = ui_create_label(top, text, reg, jtype);
    gtk_container_add(GTK_CONTAINER(align), label);
    if (plabel)
        *plabel = label;
    return align;
}

GtkWidget *ui_create_treeview_list(GtkWidget *top, const char *name, const ui_column_desc *columns)
{
    (void)top;
    (void)name;
    if (!columns)
        return nullptr;
    std::vector<GType> types;
    int n = plan_types(columns, types);
    if (!n)
        return nullptr;
    GtkListStore *store = gtk_list_store_newv(n, types.data());
    return create_treeview(GTK_TREE_MODEL(store), columns, n);
}

GtkWidget *ui_create_treeview_tree(GtkWidget *top, const char *name, const ui_column_desc *columns)
{
    if (!columns)
        return nullptr;
    std::vector<GType> types;
    int n = plan_types(columns, types);
    if (!n)
        return nullptr;
    GtkTreeStore *store = gtk_tree_store_newv(n, types.data());
    GtkWidget *view = create_treeview(GTK_TREE_MODEL(store), columns, n);
    hookup(top, name, view);
    return view;
}

GtkWidget *ui_create_button(GtkWidget *top, const ui_button_desc *info)
{
    if (!info)
        return nullptr;
    GtkWidget *button = gtk_button_new();
    gtk_widget_set_can_focus(button, FALSE);
    gtk_widget_set_can_default(button, TRUE);
    gtk_button_set_relief(GTK_BUTTON(button), GTK_RELIEF_NONE);
    if (info->tooltip)
        gtk_widget_set_tooltip_text(button, tr(info->tooltip));

    GtkWidget *align = gtk_alignment_new(0.0f, 0.5f, 0.0f, 0.0f);
    gtk_container_add(GTK_CONTAINER(button), align);
    GtkWidget *box = gtk_hbox_new(FALSE, 2);
    gtk_container_add(GTK_CONTAINER(align), box);
    if (GtkWidget *img = image_from_desc(info))
        gtk_box_pack_start(GTK_BOX(box), img, FALSE, FALSE, 0);
    GtkWidget *label = gtk_label_new(nullptr);
    if (info->label && *info->label)
        gtk_label_set_text(GTK_LABEL(label), tr(info->label));
    gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_LEFT);
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
    g_object_set_data(G_OBJECT(button), "label", label);
    gtk_widget_show_all(button);

    hookup(top, info->hookup, button);
    return button;
}

GtkWidget *ui_create_button_image(const ui_button_desc *info)
{
    if (!info)
        return nullptr;
    GtkWidget *button = gtk_button_new();
    gtk_widget_set_can_focus(button, FALSE);
    gtk_widget_set_can_default(button, TRUE);
    gtk_button_set_relief(GTK_BUTTON(button), GTK_RELIEF_NORMAL);
    GtkWidget *align = gtk_alignment_new(0.5f, 0.5f, 0.0f, 0.0f);
    gtk_container_add(GTK_CONTAINER(button), align);
    if (GtkWidget *img = image_from_desc(info))
        gtk_container_add(GTK_CONTAINER(align), img);
    if (info->tooltip && *info->tooltip)
        gtk_widget_set_tooltip_text(button, tr(info->tooltip));
    g_object_set_data(G_OBJECT(button), "ui_button_desc_t", (gpointer)info);
    gtk_widget_show_all(button);
    return button;
}

const ui_button_desc *ui_button_lookup(const ui_button_desc *buttons, int id)
{
    if (!buttons)
        return nullptr;
    for (; buttons->id; buttons++)
        if (buttons->id == id)
            return buttons;
    return nullptr;
}

int ui_set_font_weight(GtkWidget *widget, int weight)
{
    if (!widget)
        return -22;
    /* Only the weight is set: the rc machinery merges it over whatever font
     * the theme gives the widget, now and after a theme change. */
    PangoFontDescription *fd = pango_font_description_new();
    pango_font_description_set_weight(fd, (PangoWeight)weight);
    gtk_widget_modify_font(widget, fd);
    pango_font_description_free(fd);
    return 0;
}

int ui_attach_entry_filter(GtkWidget *entry, const char *allow_chars_only, const char *drop_chars_only)
{
    if (!entry || !GTK_IS_EDITABLE(entry))
        return -22;
    bool connected = g_object_get_data(G_OBJECT(entry), FILTER_KEY) != nullptr;
    auto *f = (ui_attach_entry_filter_t *)g_malloc0(sizeof(ui_attach_entry_filter_t));
    f->allow_chars_only = g_strdup(allow_chars_only);
    f->drop_chars_only = g_strdup(drop_chars_only);
    /* The handler reads the record from the entry, so replacing it needs no
     * second connection. */
    g_object_set_data_full(G_OBJECT(entry), FILTER_KEY, f, entry_filter_release);
    if (!connected)
        g_signal_connect(entry, "insert-text", G_CALLBACK(entry_filter_insert_text), nullptr);
    return 0;
}

int ui_attach_entry_filter_media_id(GtkWidget *entry)
{
    return ui_attach_entry_filter(entry, nullptr, "\\\n\r\t:/");
}

int ui_attach_entry_filter_timecode(GtkWidget *entry)
{
    return ui_attach_entry_filter(entry, "0123456789:", nullptr);
}

int ui_attach_tc_completition(GtkWidget *entry)
{
    if (!entry || !GTK_IS_ENTRY(entry))
        return -22;
    int r = ui_attach_entry_filter_timecode(entry);
    if (r < 0)
        return r;
    if (g_object_get_data(G_OBJECT(entry), COMPLETITION_KEY))
        return 0;

    auto *tc = (tc_completition_t *)g_malloc0(sizeof(tc_completition_t));
    tc->entry = entry;
    tc->completition = gtk_entry_completion_new();
    GtkListStore *store = gtk_list_store_new(1, G_TYPE_STRING);
    gtk_entry_completion_set_model(tc->completition, GTK_TREE_MODEL(store));
    g_object_unref(store);
    gtk_entry_completion_set_text_column(tc->completition, 0);
    gtk_entry_completion_set_match_func(tc->completition, tc_completition_match, nullptr, nullptr);
    g_object_set_data_full(G_OBJECT(entry), COMPLETITION_KEY, tc, tc_completition_release);
    /* Connected before the completion attaches its own handler, so the model
     * is refilled before the completion filters it. */
    g_signal_connect(entry, "changed", G_CALLBACK(tc_completition_changed), nullptr);
    gtk_entry_set_completion(GTK_ENTRY(entry), tc->completition);
    return 0;
}

int ui_treeview_set_row_weight(GtkWidget *view, ui_row_weight_proc weight_of, void *data)
{
    auto *rc = view && row_colours_quark
                   ? static_cast<row_colours_desc *>(g_object_get_qdata(G_OBJECT(view), row_colours_quark))
                   : nullptr;
    if (!rc)
        return -22;
    rc->weight_of = weight_of;
    rc->weight_data = data;
    rc->valid = false;
    gtk_widget_queue_draw(view);
    return 0;
}

GtkWidget *ui_hscroller(GtkWidget *child)
{
    GtkWidget *sw = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(sw), GTK_POLICY_AUTOMATIC, GTK_POLICY_NEVER);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(sw), GTK_SHADOW_NONE);
    gtk_scrolled_window_add_with_viewport(GTK_SCROLLED_WINDOW(sw), child);
    GtkWidget *viewport = gtk_bin_get_child(GTK_BIN(sw));
    gtk_viewport_set_shadow_type(GTK_VIEWPORT(viewport), GTK_SHADOW_NONE);
    gtk_widget_show(viewport);
    gtk_widget_show(sw);
    return sw;
}
