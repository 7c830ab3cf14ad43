/* The search window of a bus. The server searches the running list; the
 * window keeps only the position of the last hit, so that "Find next" and
 * F3 go on from there. */
#include "ui_search.h"

#include <gdk/gdkkeysyms.h>
#include <stdio.h>
#include <string.h>

#include "bus.h"
#include "strl.h"

#include "i18n.h"

namespace {

struct search_field_desc
{
    const char *label;
    int checked;
};

/* In bit order of the server's search flags. */
const search_field_desc search_fields[PELMORABOX_EVENT_SEARCH_IDX_LAST] = {
    {"Title", 1}, {"Media ID", 1}, {"Assets", 0}, {"Meta key", 0}, {"Meta value", 0}, {"Start Time", 1}, {"SYS_ID", 1},
};

void hide(playlist_search_window_t *ctx)
{
    if (ctx && ctx->wnd)
        gtk_widget_hide(ctx->wnd);
}

/* Puts the grid's cursor on row idx and selects it alone. */
void activate_row(bus_t *bus, int idx)
{
    if (!bus->grid)
        return;
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(bus->grid));
    if (!model || idx >= gtk_tree_model_iter_n_children(model, nullptr)) {
        g_warning("%s: row %d is not in the grid yet", "search", idx);
        return;
    }
    GtkTreePath *path = gtk_tree_path_new_from_indices(idx, -1);
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(bus->grid), path, nullptr, FALSE);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(bus->grid), path, nullptr, FALSE, 0, 0);
    gtk_tree_path_free(path);
}

int search(bus_t *bus, int start)
{
    playlist_search_window_t *ctx = ui_search_ctx(bus);
    if (!ctx)
        return -2;
    char key[260];
    strlcpy(key, gtk_entry_get_text(GTK_ENTRY(ctx->entry)), sizeof(key));
    if (!key[0]) {
        ctx->last = -1;
        return 0;
    }
    int flags = ui_search_flags(bus);
    pelmorabox_bus_state_t s;
    int r = pelmorabox_search_event(bus->url, bus->idx, key, start, flags, &s);
    /* A server that searches from the given position itself answers the last
     * hit again: go on from the row after it. */
    if (r >= 0 && start >= 0 && r == start)
        r = pelmorabox_search_event(bus->url, bus->idx, key, start + 1, flags, &s);
    if (r < 0) {
        /* Said in the window (brought up when F3 came from the list), so a
         * search that finds nothing is not taken for one that did nothing. */
        char text[600];
        if (r == -14)
            snprintf(text, sizeof(text), _("The search got no answer from %s."), bus->host);
        else if (start >= 0)
            snprintf(text, sizeof(text), _("No more events with \"%s\"; the next search starts from the top."), key);
        else
            snprintf(text, sizeof(text), _("No event with \"%s\"."), key);
        g_warning("%s: key[%s] from %d: %d, %s", __func__, key, start, r, text);
        ctx->last = -1;
        gtk_label_set_text(GTK_LABEL(ctx->status), text);
        if (!gtk_widget_get_visible(ctx->wnd))
            ui_search_show(bus);
        return 0;
    }
    gtk_label_set_text(GTK_LABEL(ctx->status), "");
    ctx->last = r;
    g_warning("%s: key[%s] will activate [%d]", __func__, key, r);
    hide(ctx);
    activate_row(bus, r);
    return 0;
}

void on_find(GtkButton *button, gpointer user_data)
{
    (void)button;
    g_warning("%s", "on_search_find");
    bus_t *bus = static_cast<bus_t *>(user_data);
    if (playlist_search_window_t *ctx = ui_search_ctx(bus)) {
        ctx->last = -1;
        search(bus, -1);
    }
}

void on_find_next(GtkButton *button, gpointer user_data)
{
    (void)button;
    g_warning("%s", "on_search_find_next");
    bus_t *bus = static_cast<bus_t *>(user_data);
    if (playlist_search_window_t *ctx = ui_search_ctx(bus))
        search(bus, ctx->last);
}

void on_close(GtkButton *button, gpointer user_data)
{
    (void)button;
    g_warning("%s", "on_search_close");
    hide(ui_search_ctx(static_cast<bus_t *>(user_data)));
}

gboolean on_delete(GtkWidget *widget, GdkEvent *event, gpointer user_data)
{
    (void)event;
    (void)user_data;
    gtk_widget_hide(widget);
    return TRUE;
}

void on_destroy(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    bus_t *bus = static_cast<bus_t *>(user_data);
    g_free(bus->search_ctx);
    bus->search_ctx = nullptr;
}

/* The bus's page goes away with the main window: so does the search window. */
void on_grid_destroy(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    bus_t *bus = static_cast<bus_t *>(user_data);
    playlist_search_window_t *ctx = ui_search_ctx(bus);
    if (ctx && ctx->wnd)
        gtk_widget_destroy(ctx->wnd);
}

gboolean on_key(GtkWidget *widget, GdkEventKey *event, gpointer user_data)
{
    (void)widget;
    bus_t *bus = static_cast<bus_t *>(user_data);
    playlist_search_window_t *ctx = ui_search_ctx(bus);
    if (!ctx)
        return FALSE;
    guint key = gdk_keyval_to_lower(event->keyval);
    switch (key) {
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
        g_warning("%s: Enter", "on_search_key");
        ctx->last = -1;
        search(bus, -1);
        return TRUE;
    case GDK_KEY_F3:
        g_warning("%s: F3", "on_search_key");
        search(bus, ctx->last);
        return TRUE;
    case GDK_KEY_Escape:
        g_warning("%s: Escape", "on_search_key");
        hide(ctx);
        return TRUE;
    case GDK_KEY_f:
        if (event->state & GDK_CONTROL_MASK) {
            g_warning("%s: Ctrl+F", "on_search_key");
            ui_search_show(bus);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

GtkWidget *blank(void)
{
    return gtk_label_new("");
}

} // namespace

playlist_search_window_t *ui_search_ctx(bus_t *bus)
{
    return bus ? static_cast<playlist_search_window_t *>(bus->search_ctx) : nullptr;
}

int ui_create_search_window(bus_t *bus)
{
    if (!bus)
        return -22;
    if (bus->search_ctx)
        return 0;
    auto *ctx = static_cast<playlist_search_window_t *>(g_malloc0(sizeof(playlist_search_window_t)));
    ctx->last = -1;
    bus->search_ctx = ctx;

    ctx->wnd = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    char title[600];
    snprintf(title, sizeof(title), _("Search playlist item over %s"), bus->title);
    gtk_window_set_title(GTK_WINDOW(ctx->wnd), title);
    gtk_window_set_decorated(GTK_WINDOW(ctx->wnd), TRUE);
    gtk_window_set_keep_above(GTK_WINDOW(ctx->wnd), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(ctx->wnd), FALSE);
    gtk_widget_add_events(ctx->wnd, GDK_KEY_PRESS_MASK);
    g_signal_connect(ctx->wnd, "delete-event", G_CALLBACK(on_delete), bus);
    g_signal_connect(ctx->wnd, "destroy", G_CALLBACK(on_destroy), bus);
    g_signal_connect(ctx->wnd, "key-press-event", G_CALLBACK(on_key), bus);

    GtkWidget *vbox = gtk_vbox_new(FALSE, 2);
    gtk_container_add(GTK_CONTAINER(ctx->wnd), vbox);
    gtk_box_pack_start(GTK_BOX(vbox), gtk_label_new(_("Search key:")), FALSE, FALSE, 2);
    ctx->entry = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(ctx->entry), 260);
    gtk_box_pack_start(GTK_BOX(vbox), ctx->entry, FALSE, FALSE, 2);
    gtk_box_pack_start(GTK_BOX(vbox), gtk_label_new(_("Search over:")), FALSE, FALSE, 2);

    GtkWidget *boxes = gtk_hbox_new(TRUE, 5);
    for (int i = 0; i < PELMORABOX_EVENT_SEARCH_IDX_LAST; i++) {
        ctx->checkboxes[i] = gtk_check_button_new_with_label(_(search_fields[i].label));
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ctx->checkboxes[i]), search_fields[i].checked);
        gtk_box_pack_start(GTK_BOX(boxes), ctx->checkboxes[i], TRUE, TRUE, 5);
    }
    gtk_box_pack_start(GTK_BOX(vbox), boxes, FALSE, FALSE, 2);

    GtkWidget *buttons = gtk_hbox_new(TRUE, 5);
    for (int i = 0; i < 3; i++)
        gtk_box_pack_start(GTK_BOX(buttons), blank(), TRUE, TRUE, 5);
    ctx->find = gtk_button_new_with_label(_("Find"));
    ctx->find_next = gtk_button_new_with_label(_("Find next"));
    ctx->close = gtk_button_new_with_label(_("Close"));
    gtk_box_pack_start(GTK_BOX(buttons), ctx->find, TRUE, TRUE, 5);
    gtk_box_pack_start(GTK_BOX(buttons), ctx->find_next, TRUE, TRUE, 5);
    gtk_box_pack_start(GTK_BOX(buttons), ctx->close, TRUE, TRUE, 5);
    gtk_box_pack_start(GTK_BOX(buttons), blank(), TRUE, TRUE, 5);
    gtk_box_pack_start(GTK_BOX(vbox), buttons, FALSE, FALSE, 2);
    ctx->status = gtk_label_new("");
    gtk_label_set_line_wrap(GTK_LABEL(ctx->status), TRUE);
    gtk_box_pack_start(GTK_BOX(vbox), ctx->status, FALSE, FALSE, 2);
    g_signal_connect(ctx->find, "clicked", G_CALLBACK(on_find), bus);
    g_signal_connect(ctx->find_next, "clicked", G_CALLBACK(on_find_next), bus);
    g_signal_connect(ctx->close, "clicked", G_CALLBACK(on_close), bus);

    gtk_widget_show_all(vbox);
    if (bus->grid)
        g_signal_connect(bus->grid, "destroy", G_CALLBACK(on_grid_destroy), bus);
    return 0;
}

int ui_search_show(bus_t *bus)
{
    g_warning("%s", "ui_search_show");
    playlist_search_window_t *ctx = ui_search_ctx(bus);
    if (!ctx)
        return -2;
    gtk_widget_hide(ctx->wnd);
    /* Over the console, not wherever the desktop puts new windows. */
    GtkWidget *top = bus->grid ? gtk_widget_get_toplevel(bus->grid) : nullptr;
    if (top && GTK_IS_WINDOW(top) && gtk_widget_is_toplevel(top)) {
        gtk_window_set_transient_for(GTK_WINDOW(ctx->wnd), GTK_WINDOW(top));
        gtk_window_set_position(GTK_WINDOW(ctx->wnd), GTK_WIN_POS_CENTER_ON_PARENT);
    }
    gtk_window_deiconify(GTK_WINDOW(ctx->wnd));
    gtk_widget_show(ctx->wnd);
    gtk_window_present(GTK_WINDOW(ctx->wnd));
    gtk_widget_grab_focus(ctx->entry);
    return 0;
}

int ui_search_next(bus_t *bus)
{
    g_warning("%s", "ui_search_next");
    playlist_search_window_t *ctx = ui_search_ctx(bus);
    if (!ctx)
        return -2;
    search(bus, ctx->last);
    return 0;
}

int ui_search_set(bus_t *bus, const char *key, int flags, int last)
{
    g_warning("%s: key=[%s], flags=0x%X, last=%d\n", __func__, key ? key : "", (unsigned)flags, last);
    playlist_search_window_t *ctx = ui_search_ctx(bus);
    if (!ctx)
        return -2;
    ctx->last = last;
    for (int i = 0; i < PELMORABOX_EVENT_SEARCH_IDX_LAST; i++)
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ctx->checkboxes[i]), (flags >> i) & 1);
    gtk_entry_set_text(GTK_ENTRY(ctx->entry), key ? key : "");
    return 0;
}

int ui_search_flags(bus_t *bus)
{
    playlist_search_window_t *ctx = ui_search_ctx(bus);
    if (!ctx)
        return 0;
    int flags = 0;
    for (int i = 0; i < PELMORABOX_EVENT_SEARCH_IDX_LAST; i++)
        if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx->checkboxes[i])))
            flags |= 1 << i;
    return flags;
}
