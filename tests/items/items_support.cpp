/* Event editing test helpers: see items_support.h. */
#include "items_support.h"

#include <string.h>

#include "gui_loop.h"
#include "ui_bus_meta_tree.h"

namespace {

gboolean tick(gpointer data)
{
    auto *s = static_cast<items_script *>(data);
    if (s->steps.empty() || s->in_step)
        return TRUE;
    gint64 now = g_get_monotonic_time();
    if (!s->since)
        s->since = now;
    std::function<bool()> step = std::move(s->steps.front());
    s->steps.pop_front();
    s->in_step = true;
    bool ok = step();
    s->in_step = false;
    if (ok) {
        s->since = 0;
        return TRUE;
    }
    s->steps.push_front(std::move(step));
    if (now - s->since > 15000000) {
        ADD_FAILURE() << "a step waited 15 s; " << s->steps.size() << " steps left";
        s->steps.clear();
        gui_answer_dialogs(GTK_RESPONSE_DELETE_EVENT);
    }
    return TRUE;
}

GtkWidget *find_item(GtkWidget *menu, const char *label)
{
    GtkWidget *found = nullptr;
    GList *kids = gtk_container_get_children(GTK_CONTAINER(menu));
    for (GList *l = kids; l && !found; l = l->next) {
        GtkWidget *child = gtk_bin_get_child(GTK_BIN(l->data));
        if (child && GTK_IS_LABEL(child) && !strcmp(gtk_label_get_text(GTK_LABEL(child)), label))
            found = GTK_WIDGET(l->data);
    }
    g_list_free(kids);
    return found;
}

} // namespace

items_script::items_script()
{
    source = gdk_threads_add_timeout(20, tick, this);
    /* Steps run inside dialogs that a step opened. */
    g_source_set_can_recurse(g_main_context_find_source_by_id(nullptr, source), TRUE);
}

void items_script::nested(const std::function<void()> &fn)
{
    bool was = in_step;
    in_step = false;
    since = 0;
    fn();
    in_step = was;
}

items_script::~items_script()
{
    g_source_remove(source);
}

GtkWidget *items_dialog(const char *title)
{
    return gui_find_dialog(title);
}

gboolean items_key(GtkWidget *w, guint keyval, guint state)
{
    /* Typed where the operator types: in the focused widget. */
    if (gtk_widget_get_can_focus(w))
        gtk_widget_grab_focus(w);
    GdkEvent *ev = gdk_event_new(GDK_KEY_PRESS);
    ev->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
    ev->key.send_event = TRUE;
    ev->key.keyval = keyval;
    ev->key.state = state;
    ev->key.string = g_strdup("");
    /* Key bindings (an entry's activate, a dialog's close) are looked up by
     * the key's hardware code. */
    GdkKeymapKey *keys = nullptr;
    gint n = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_default(), keyval, &keys, &n) && n > 0) {
        ev->key.hardware_keycode = (guint16)keys[0].keycode;
        ev->key.group = (guint8)keys[0].group;
    }
    g_free(keys);
    gboolean r = gtk_widget_event(w, ev);
    gdk_event_free(ev);
    return r;
}

std::vector<std::string> items_fields(pelmorabox_event_t *e)
{
    std::vector<std::string> out;
    if (!e)
        return out;
    std::vector<char> buf(PELMORABOX_EVENT_LINE_BUF);
    std::string line = pelmorabox_event_format_string(e, buf.data(), (int)buf.size());
    size_t at = 0;
    for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1)
        out.push_back(line.substr(at, tab - at));
    out.push_back(line.substr(at));
    return out;
}

std::string items_line(const std::function<void(pelmorabox_event_t *)> &fill)
{
    pelmorabox_event_t *e = pelmorabox_event_create();
    fill(e);
    std::vector<char> buf(PELMORABOX_EVENT_LINE_BUF);
    std::string line = pelmorabox_event_format_string(e, buf.data(), (int)buf.size());
    pelmorabox_event_destroy(&e);
    return line;
}

pelmorabox_event_t *items_server_event(const std::string &url, int idx)
{
    pelmorabox_event_t *e = nullptr;
    pelmorabox_bus_state_t s;
    if (pelmorabox_get_event(url.c_str(), 0, idx, &e, &s) < 0 && e)
        pelmorabox_event_destroy(&e);
    return e;
}

std::vector<std::string> items_tree_rows(GtkTreeModel *model, const char *path)
{
    std::vector<std::string> out;
    GtkTreeIter parent, it;
    if (!gtk_tree_model_get_iter_from_string(model, &parent, path))
        return out;
    bool ok = gtk_tree_model_iter_children(model, &it, &parent);
    for (; ok; ok = gtk_tree_model_iter_next(model, &it)) {
        gchar *k = nullptr, *v = nullptr;
        gtk_tree_model_get(model, &it, METATREE_COLUMN_KEY, &k, METATREE_COLUMN_VALUE, &v, -1);
        out.push_back(std::string(k ? k : "") + "=" + (v ? v : ""));
        g_free(k);
        g_free(v);
    }
    return out;
}

std::vector<std::string> items_menu_labels(GtkWidget *menu)
{
    std::vector<std::string> out;
    GList *kids = gtk_container_get_children(GTK_CONTAINER(menu));
    for (GList *l = kids; l; l = l->next) {
        GtkWidget *child = gtk_bin_get_child(GTK_BIN(l->data));
        out.push_back(child && GTK_IS_LABEL(child) ? gtk_label_get_text(GTK_LABEL(child)) : "-");
    }
    g_list_free(kids);
    return out;
}

bool items_menu_activate(GtkWidget *menu, const char *label, const char *sub)
{
    if (sub) {
        GtkWidget *mi = find_item(menu, sub);
        menu = mi ? gtk_menu_item_get_submenu(GTK_MENU_ITEM(mi)) : nullptr;
        if (!menu)
            return false;
    }
    GtkWidget *mi = find_item(menu, label);
    if (mi)
        gtk_menu_item_activate(GTK_MENU_ITEM(mi));
    return mi != nullptr;
}
