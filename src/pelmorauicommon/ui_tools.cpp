/* Widget factories, entry filters and timecode completion. */
#include "ui_tools.h"

#include <libintl.h>
#include <stdio.h>
#include <string.h>

#include <string>
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
        g_warning("%s: bad built-in image of button %d: %s", "ui_create_button", info->id,
                  err ? err->message : "?");
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

/* Builds the view over model from the plan; takes over the model reference. */
GtkWidget *create_treeview(GtkTreeModel *model, const ui_column_desc *columns, int n)
{
    GtkWidget *view = gtk_tree_view_new_with_model(model);
    g_object_unref(model);
    gtk_widget_show(view);
    gtk_tree_view_set_rules_hint(GTK_TREE_VIEW(view), TRUE);
    gtk_tree_view_set_grid_lines(GTK_TREE_VIEW(view), GTK_TREE_VIEW_GRID_LINES_BOTH);
    gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(view)), GTK_SELECTION_MULTIPLE);

    /* The colour columns are bound only when the plan ends with them as
     * documented; a shorter or different tail would make GTK refuse the
     * binding on every row. */
    bool colours = n >= 4 && columns[n - 4].type == G_TYPE_BOOLEAN && columns[n - 3].type == G_TYPE_STRING &&
                   columns[n - 2].type == G_TYPE_BOOLEAN && columns[n - 1].type == G_TYPE_STRING;
    if (n >= 4 && !colours)
        g_warning("%s: plan of %d columns does not end with the colour columns", "ui_create_treeview", n);

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
        } else {
            r = gtk_cell_renderer_text_new();
            col = gtk_tree_view_column_new_with_attributes(tr(c->title), r, "text", c->idx, NULL);
            if (colours)
                gtk_tree_view_column_set_attributes(col, r, "text", c->idx, "background-set", n - 4, "background",
                                                    n - 3, "foreground-set", n - 2, "foreground", n - 1, NULL);
        }
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), col);
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

void entry_filter_insert_text(GtkEditable *editable, gchar *new_text, gint new_text_length, gint *position,
                              gpointer)
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
    g_warning("%s: [%s]", "tc_completition_changed", text);

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
