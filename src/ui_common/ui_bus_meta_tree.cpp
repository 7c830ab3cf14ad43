/* The metadata tree: decoding an event's assets and pairs into rows,
 * encoding them back, the context menus, the Delete key and in-place
 * editing. Template variables are keyed "%s@%s#%d" (variable, template,
 * occurrence of the template in the assets). */
#include "ui_bus_meta_tree.h"

#include <gdk/gdkkeysyms.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "gdk_unlock.h"
#include "pelmora_lib.h"
#include "strl.h"
#include "timecode.h"
#include "ui_images.h"

#include "i18n.h"

const ui_column_desc metatree_plan[METATREE_COLUMN_LAST + 1] = {
    {METATREE_COLUMN_TYPE, "TYPE", G_TYPE_OBJECT},           {METATREE_COLUMN_KEY, "NAME", G_TYPE_STRING},
    {METATREE_COLUMN_VALUE, "VALUE", G_TYPE_STRING},         {METATREE_COLUMN_IDX, nullptr, G_TYPE_INT},
    {METATREE_COLUMN_KEY_EDITABLE, nullptr, G_TYPE_BOOLEAN}, {METATREE_COLUMN_VALUE_EDITABLE, nullptr, G_TYPE_BOOLEAN},
    {METATREE_COLUMN_DATA, nullptr, G_TYPE_POINTER},         {METATREE_COLUMN_BG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {METATREE_COLUMN_BG_COLOR_V, nullptr, G_TYPE_STRING},    {METATREE_COLUMN_FG_COLOR, nullptr, G_TYPE_BOOLEAN},
    {METATREE_COLUMN_FG_COLOR_V, nullptr, G_TYPE_STRING},    {-1, nullptr, G_TYPE_INVALID},
};

/* Model column whose value makes view column i editable (-1: none). */
static const int editable_idx[] = {-1, METATREE_COLUMN_KEY_EDITABLE, METATREE_COLUMN_VALUE_EDITABLE};

/* Prefix of the template variables the server lists that the menu offers. */
#define METATREE_VAR_PREFIX "current.meta."
/* Most templates or variables a menu lists: a server's list beyond it would
 * only make a menu nobody can use. */
#define METATREE_MENU_MAX 500

namespace {

GdkPixbuf *metatree_type_pixbufs[METATREE_LAST];

GdkPixbuf *type_pixbuf(int type)
{
    if (type < 0 || type >= METATREE_LAST)
        return nullptr;
    if (!metatree_type_pixbufs[type]) {
        char name[32];
        snprintf(name, sizeof name, "metatree_%d", type);
        metatree_type_pixbufs[type] = ui_images_pixbuf(ui_images_lookup(name));
    }
    return metatree_type_pixbufs[type];
}

bool is_frames_var(const char *name)
{
    return !strcmp(name, "in") || !strcmp(name, "out") || !strcmp(name, "dur");
}

metatree_item_t *item_new(ui_bus_meta_tree_t *ctx, int type, const char *key, const char *val)
{
    auto *it = static_cast<metatree_item_t *>(g_malloc0(sizeof(metatree_item_t)));
    it->type = type;
    it->ctx = ctx;
    strlcpy(it->key, key ? key : "", sizeof it->key);
    strlcpy(it->val, val ? val : "", sizeof it->val);
    return it;
}

void redraw(ui_bus_meta_tree_t *ctx, GtkTreeIter *iter)
{
    metatree_item_t *it = ui_bus_meta_tree_item(ctx, iter);
    if (!it)
        return;
    const char *value = "";
    char shown[TC_TEXT_SIZE * 2];
    gboolean key_editable = FALSE, value_editable = FALSE;
    switch (it->type) {
    case METATREE_ASSETS:
        value = it->direction > 0 ? _("+append") : it->direction < 0 ? _("prepend+") : _("replace");
        break;
    case METATREE_META_TEMPLATE:
        value = it->val;
        if (is_frames_var(it->key) && it->val[0] && !strchr(it->val, ':')) {
            long f = strtol(it->val, nullptr, 10);
            value = tc_frames2tc((int)std::min<long>(std::max<long>(f, 0), INT32_MAX), shown);
            g_warning("%s:%d: FRAMES [%s] => [%s]", __func__, __LINE__, it->val, value);
        }
        value_editable = TRUE;
        break;
    case METATREE_META_GLOBAL:
        value = it->val;
        key_editable = value_editable = TRUE;
        break;
    default:
        break;
    }
    gtk_tree_store_set(ctx->store, iter, METATREE_COLUMN_TYPE, type_pixbuf(it->type), METATREE_COLUMN_KEY, it->key,
                       METATREE_COLUMN_VALUE, value, METATREE_COLUMN_KEY_EDITABLE, key_editable,
                       METATREE_COLUMN_VALUE_EDITABLE, value_editable, -1);
}

void append_row(ui_bus_meta_tree_t *ctx, GtkTreeIter *iter, GtkTreeIter *parent, metatree_item_t *it)
{
    gtk_tree_store_append(ctx->store, iter, parent);
    gtk_tree_store_set(ctx->store, iter, METATREE_COLUMN_DATA, it, METATREE_COLUMN_IDX, 0, -1);
    redraw(ctx, iter);
}

/* Releases the records of a row and its children (the rows stay). */
void free_records(ui_bus_meta_tree_t *ctx, GtkTreeIter *iter)
{
    GtkTreeIter child;
    if (gtk_tree_model_iter_children(ctx->model, &child, iter))
        do
            free_records(ctx, &child);
        while (gtk_tree_model_iter_next(ctx->model, &child));
    metatree_item_t *it = ui_bus_meta_tree_item(ctx, iter);
    gtk_tree_store_set(ctx->store, iter, METATREE_COLUMN_DATA, nullptr, -1);
    g_free(it);
}

void remove_row(ui_bus_meta_tree_t *ctx, GtkTreeIter *iter)
{
    free_records(ctx, iter);
    gtk_tree_store_remove(ctx->store, iter);
}

bool selected(ui_bus_meta_tree_t *ctx, GtkTreeIter *iter)
{
    if (!ctx->gr)
        return false;
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(ctx->gr));
    return gtk_tree_selection_get_selected(sel, nullptr, iter);
}

/* ---- Library lists, fetched off the main loop. ---- */

std::vector<std::string> take_list(char **list, int n)
{
    std::vector<std::string> out;
    for (int i = 0; list && i < n && list[i]; i++) {
        if (out.size() < METATREE_MENU_MAX && g_utf8_validate(list[i], -1, nullptr))
            out.push_back(list[i]);
        free(list[i]);
    }
    free(list);
    return out;
}

/* A name list of the library server, read off the main loop (one call at a
 * time per tree); empty when refused or without a server. */
std::vector<std::string> fetch_list(ui_bus_meta_tree_t *ctx, const std::function<int(const char *, char ***)> &call)
{
    std::vector<std::string> names;
    if (!ctx->lib_url || !ctx->lib_url[0] || ctx->busy)
        return names;
    std::string url = ctx->lib_url;
    ctx->busy = 1;
    ui_bus_meta_tree_off_main([&] {
        char **list = nullptr;
        int n = call(url.c_str(), &list);
        names = take_list(list, n);
    });
    ctx->busy = 0;
    return names;
}

/* The server's templates sorted by bytes. */
std::vector<std::string> fetch_templates(ui_bus_meta_tree_t *ctx)
{
    std::vector<std::string> names = fetch_list(ctx, pelmora_lib_list_templates);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> fetch_vars(ui_bus_meta_tree_t *ctx, const std::string &tmpl)
{
    return fetch_list(ctx, [&tmpl](const char *url, char ***list) {
        return pelmora_lib_list_template_vars(url, tmpl.c_str(), list);
    });
}

/* ---- Menu actions. ---- */

enum menu_kind
{
    ACT_DIRECTION,
    ACT_ADD_TEMPLATE,
    ACT_ADD_GLOBAL,
    ACT_DELETE,
    ACT_MOVE_UP,
    ACT_MOVE_DOWN,
    ACT_ADD_VAR,
    ACT_REPLACE_TEMPLATE
};

struct menu_act
{
    ui_bus_meta_tree_t *ctx;
    int kind;
    int arg;
    std::string name;
};

void menu_act_free(gpointer p)
{
    delete static_cast<menu_act *>(p);
}

void delete_selected(ui_bus_meta_tree_t *ctx)
{
    GtkTreeIter it;
    if (!selected(ctx, &it))
        return;
    metatree_item_t *item = ui_bus_meta_tree_item(ctx, &it);
    if (!item || item->type == METATREE_ASSETS || item->type == METATREE_GLOBAL_VARS)
        return;
    remove_row(ctx, &it);
}

void move_selected(ui_bus_meta_tree_t *ctx, bool up)
{
    GtkTreeIter it, other;
    if (!selected(ctx, &it))
        return;
    GtkTreePath *p = gtk_tree_model_get_path(ctx->model, &it);
    bool ok = up ? gtk_tree_path_prev(p) : (gtk_tree_path_next(p), true);
    ok = ok && gtk_tree_model_get_iter(ctx->model, &other, p);
    gtk_tree_path_free(p);
    if (!ok)
        return;
    metatree_item_t *a = ui_bus_meta_tree_item(ctx, &it), *b = ui_bus_meta_tree_item(ctx, &other);
    g_warning("%s [%s]=>[%s]", __func__, a ? a->key : "", b ? b->key : "");
    gtk_tree_store_swap(ctx->store, &it, &other);
}

void menu_activate(GtkMenuItem *mi, gpointer)
{
    auto *a = static_cast<menu_act *>(g_object_get_data(G_OBJECT(mi), "metatree_menu_act"));
    if (!a)
        return;
    ui_bus_meta_tree_t *ctx = a->ctx;
    GtkTreeIter it, child;
    switch (a->kind) {
    case ACT_DIRECTION:
        if (metatree_item_t *root = ui_bus_meta_tree_item(ctx, &ctx->iter[0])) {
            root->direction = a->arg;
            redraw(ctx, &ctx->iter[0]);
        }
        break;
    case ACT_ADD_TEMPLATE:
        append_row(ctx, &child, &ctx->iter[0], item_new(ctx, METATREE_TEMPLATE, a->name.c_str(), ""));
        gtk_tree_view_expand_all(GTK_TREE_VIEW(ctx->gr));
        break;
    case ACT_ADD_GLOBAL:
        append_row(ctx, &child, &ctx->iter[1], item_new(ctx, METATREE_META_GLOBAL, "", ""));
        gtk_tree_view_expand_all(GTK_TREE_VIEW(ctx->gr));
        break;
    case ACT_DELETE:
        delete_selected(ctx);
        break;
    case ACT_MOVE_UP:
    case ACT_MOVE_DOWN:
        move_selected(ctx, a->kind == ACT_MOVE_UP);
        break;
    case ACT_ADD_VAR:
        if (selected(ctx, &it)) {
            append_row(ctx, &child, &it, item_new(ctx, METATREE_META_TEMPLATE, a->name.c_str(), ""));
            gtk_tree_view_expand_all(GTK_TREE_VIEW(ctx->gr));
        }
        break;
    case ACT_REPLACE_TEMPLATE:
        if (selected(ctx, &it))
            if (metatree_item_t *t = ui_bus_meta_tree_item(ctx, &it)) {
                g_warning("%s: [%s]=>[%s]", "ui_bus_meta_tree_replace", t->key, a->name.c_str());
                strlcpy(t->key, a->name.c_str(), sizeof t->key);
                redraw(ctx, &it);
            }
        break;
    default:
        break;
    }
}

GtkWidget *menu_item(GtkWidget *menu, ui_bus_meta_tree_t *ctx, const char *label, int kind, int arg = 0,
                     const char *name = "")
{
    GtkWidget *mi = gtk_menu_item_new_with_label(label);
    g_object_set_data_full(G_OBJECT(mi), "metatree_menu_act", new menu_act{ctx, kind, arg, name}, menu_act_free);
    g_signal_connect(mi, "activate", G_CALLBACK(menu_activate), nullptr);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), mi);
    return mi;
}

GtkWidget *submenu(GtkWidget *menu, const char *label)
{
    GtkWidget *mi = gtk_menu_item_new_with_label(label);
    GtkWidget *sub = gtk_menu_new();
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(mi), sub);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), mi);
    return sub;
}

void templates_submenu(GtkWidget *menu, ui_bus_meta_tree_t *ctx, const char *label, int kind)
{
    GtkWidget *sub = submenu(menu, label);
    for (const std::string &n : fetch_templates(ctx))
        menu_item(sub, ctx, n.c_str(), kind, 0, n.c_str());
}

void popup(ui_bus_meta_tree_t *ctx, guint button, guint32 time)
{
    GtkWidget *menu = ui_bus_meta_tree_menu(ctx);
    if (!menu)
        return;
    gtk_widget_show_all(menu);
    gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, nullptr, nullptr, button, time);
}

void detach_menu(GtkWidget *attach, GtkMenu *menu)
{
    (void)menu;
    auto *ctx = static_cast<ui_bus_meta_tree_t *>(g_object_get_data(G_OBJECT(attach), "ui_bus_meta_tree_t"));
    if (ctx && ctx->menu == GTK_WIDGET(menu))
        ctx->menu = nullptr;
}

} // namespace

metatree_item_t *ui_bus_meta_tree_item(ui_bus_meta_tree_t *ctx, GtkTreeIter *iter)
{
    metatree_item_t *it = nullptr;
    if (ctx && ctx->model && iter)
        gtk_tree_model_get(ctx->model, iter, METATREE_COLUMN_DATA, &it, -1);
    return it;
}

void ui_bus_meta_tree_off_main(const std::function<void()> &work)
{
    gdk_off_main(work);
}

GtkWidget *ui_bus_meta_tree_create(ui_bus_meta_tree_t *ctx)
{
    ctx->gr = ctx->view = ui_create_treeview_tree(nullptr, nullptr, metatree_plan);
    ctx->model = gtk_tree_view_get_model(GTK_TREE_VIEW(ctx->gr));
    ctx->store = GTK_TREE_STORE(ctx->model);
    g_object_set_data(G_OBJECT(ctx->gr), "ui_bus_meta_tree_t", ctx);
    gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(ctx->gr)), GTK_SELECTION_SINGLE);
    for (int c = 1; c <= 2; c++) {
        GtkTreeViewColumn *col = gtk_tree_view_get_column(GTK_TREE_VIEW(ctx->gr), c);
        if (!col)
            continue;
        GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(col));
        for (GList *l = cells; l; l = l->next) {
            GtkCellRenderer *r = GTK_CELL_RENDERER(l->data);
            if (!GTK_IS_CELL_RENDERER_TEXT(r))
                continue;
            gtk_tree_view_column_add_attribute(col, r, "editable", editable_idx[c]);
            g_object_set_data(G_OBJECT(r), "my_column_num", GINT_TO_POINTER(c));
            g_signal_connect(r, "edited", G_CALLBACK(ui_bus_meta_tree_edited), ctx);
            g_signal_connect(r, "editing-started", G_CALLBACK(ui_bus_meta_tree_editing_started), ctx);
        }
        g_list_free(cells);
    }
    g_signal_connect(ctx->gr, "key-press-event", G_CALLBACK(ui_bus_meta_tree_key_press), ctx);
    ctx->sw = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(ctx->sw), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(ctx->sw), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(ctx->sw), ctx->gr);
    return ctx->sw;
}

int ui_bus_meta_tree_set(ui_bus_meta_tree_t *ctx, pelmorabox_event_t *e)
{
    if (!ctx || !ctx->store || !e)
        return -22;
    ui_bus_meta_tree_destroy(ctx);
    metatree_item_t *assets = item_new(ctx, METATREE_ASSETS, _("ASSETS"), "");
    append_row(ctx, &ctx->iter[0], nullptr, assets);
    append_row(ctx, &ctx->iter[1], nullptr, item_new(ctx, METATREE_GLOBAL_VARS, _("GLOBAL VARS"), ""));

    int cnt = e->metadata_pairs ? e->metadata_cnt : 0;
    std::vector<bool> taken((size_t)std::max(cnt, 0), false);
    std::vector<std::string> names;
    const char *p = e->assets;
    for (;;) {
        const char *plus = strchr(p, '+');
        std::string part(p, plus ? (size_t)(plus - p) : strlen(p));
        if (part.empty()) {
            /* '+' before any name appends, after the names prepends. */
            assets->direction = names.empty() ? 1 : -1;
        } else {
            int n = (int)std::count(names.begin(), names.end(), part);
            names.push_back(part);
            GtkTreeIter t, v;
            append_row(ctx, &t, &ctx->iter[0], item_new(ctx, METATREE_TEMPLATE, part.c_str(), ""));
            char suffix[300];
            snprintf(suffix, sizeof suffix, "@%s#%d", part.c_str(), n);
            size_t sl = strlen(suffix);
            for (int i = 0; i < cnt; i++) {
                const char *key = e->metadata_pairs[i].key;
                if (taken[(size_t)i] || !key)
                    continue;
                const char *at = strstr(key, suffix);
                if (!at || at[sl] != 0)
                    continue;
                taken[(size_t)i] = true;
                std::string var(key, (size_t)(at - key));
                append_row(ctx, &v, &t, item_new(ctx, METATREE_META_TEMPLATE, var.c_str(), e->metadata_pairs[i].val));
            }
        }
        if (!plus)
            break;
        p = plus + 1;
    }
    redraw(ctx, &ctx->iter[0]);
    for (int i = 0; i < cnt; i++) {
        if (taken[(size_t)i])
            continue;
        GtkTreeIter g;
        append_row(ctx, &g, &ctx->iter[1],
                   item_new(ctx, METATREE_META_GLOBAL, e->metadata_pairs[i].key, e->metadata_pairs[i].val));
    }
    gtk_tree_view_expand_all(GTK_TREE_VIEW(ctx->gr));
    if (!g_object_get_data(G_OBJECT(ctx->gr), "metatree_menu_connected")) {
        g_signal_connect(ctx->gr, "button-press-event", G_CALLBACK(ui_bus_meta_tree_button_press), ctx);
        g_signal_connect(ctx->gr, "popup-menu", G_CALLBACK(ui_bus_meta_tree_popup_menu), ctx);
        g_object_set_data(G_OBJECT(ctx->gr), "metatree_menu_connected", GINT_TO_POINTER(1));
    }
    return 0;
}

int ui_bus_meta_tree_get(ui_bus_meta_tree_t *ctx, pelmorabox_event_t **pe)
{
    if (!ctx || !ctx->store || !pe || !*pe)
        return -22;
    pelmorabox_event_t *e = *pe;
    e->assets[0] = 0;
    pelmorabox_event_clear_meta(e);
    metatree_item_t *root = ui_bus_meta_tree_item(ctx, &ctx->iter[0]);
    int direction = root ? root->direction : 0;
    std::string assets = direction > 0 ? "+" : "";
    std::vector<std::string> names;
    GtkTreeIter t, v;
    bool more = gtk_tree_model_iter_children(ctx->model, &t, &ctx->iter[0]);
    for (; more; more = gtk_tree_model_iter_next(ctx->model, &t)) {
        metatree_item_t *ti = ui_bus_meta_tree_item(ctx, &t);
        if (!ti || ti->type != METATREE_TEMPLATE) {
            g_warning("%s:%d asset_item->type != METATREE_TEMPLATE", __func__, __LINE__);
            continue;
        }
        int n = (int)std::count(names.begin(), names.end(), std::string(ti->key));
        if (!names.empty())
            assets += "+";
        assets += ti->key;
        names.push_back(ti->key);
        bool vm = gtk_tree_model_iter_children(ctx->model, &v, &t);
        for (; vm; vm = gtk_tree_model_iter_next(ctx->model, &v)) {
            metatree_item_t *vi = ui_bus_meta_tree_item(ctx, &v);
            if (!vi || vi->type != METATREE_META_TEMPLATE) {
                g_warning("%s:%d item->type != METATREE_META_TEMPLATE", __func__, __LINE__);
                continue;
            }
            char key[600], val[32];
            snprintf(key, sizeof key, "%s@%s#%d", vi->key, ti->key, n);
            const char *value = vi->val;
            if (is_frames_var(vi->key) && strchr(vi->val, ':')) {
                snprintf(val, sizeof val, "%d", std::max(tc_tc2frames(vi->val), 0));
                value = val;
            }
            e = pelmorabox_event_add_meta(e, key, value);
        }
    }
    more = gtk_tree_model_iter_children(ctx->model, &v, &ctx->iter[1]);
    for (; more; more = gtk_tree_model_iter_next(ctx->model, &v)) {
        metatree_item_t *gi = ui_bus_meta_tree_item(ctx, &v);
        if (!gi || gi->type != METATREE_META_GLOBAL) {
            g_warning("%s:%d asset_item->type != METATREE_META_GLOBAL", __func__, __LINE__);
            continue;
        }
        e = pelmorabox_event_add_meta(e, gi->key, gi->val);
    }
    if (direction < 0)
        assets += "+";
    if (names.empty())
        assets.clear();
    if (assets.size() >= sizeof e->assets)
        g_warning("%s: assets [%s] cut to %d characters", __func__, assets.c_str(), (int)sizeof e->assets - 1);
    strlcpy(e->assets, assets.c_str(), sizeof e->assets);
    *pe = e;
    return 0;
}

int ui_bus_meta_tree_destroy(ui_bus_meta_tree_t *ctx)
{
    if (!ctx || !ctx->store)
        return -22;
    GtkTreeIter it;
    while (gtk_tree_model_get_iter_first(ctx->model, &it))
        remove_row(ctx, &it);
    return 0;
}

GtkWidget *ui_bus_meta_tree_menu(ui_bus_meta_tree_t *ctx)
{
    GtkTreeIter it;
    metatree_item_t *item = ctx && selected(ctx, &it) ? ui_bus_meta_tree_item(ctx, &it) : nullptr;
    if (!item) {
        g_warning("%s: item is NULL", __func__);
        return nullptr;
    }
    GtkWidget *menu = gtk_menu_new();
    switch (item->type) {
    case METATREE_ASSETS: {
        GtkWidget *dir = submenu(menu, _("Set direction"));
        menu_item(dir, ctx, _("Replace"), ACT_DIRECTION, 0);
        menu_item(dir, ctx, _("Append"), ACT_DIRECTION, 1);
        menu_item(dir, ctx, _("Prepend"), ACT_DIRECTION, -1);
        templates_submenu(menu, ctx, _("Add template"), ACT_ADD_TEMPLATE);
        break;
    }
    case METATREE_GLOBAL_VARS:
        menu_item(menu, ctx, _("Add key/value pair"), ACT_ADD_GLOBAL);
        break;
    case METATREE_TEMPLATE: {
        menu_item(menu, ctx, _("Delete"), ACT_DELETE);
        menu_item(menu, ctx, _("Move UP"), ACT_MOVE_UP);
        menu_item(menu, ctx, _("Move Down"), ACT_MOVE_DOWN);
        GtkWidget *vars = submenu(menu, _("Add metapair"));
        std::vector<std::string> list = fetch_vars(ctx, item->key);
        const size_t pl = strlen(METATREE_VAR_PREFIX);
        for (size_t i = 0; i < list.size(); i++) {
            g_warning("%s:%d: list[%d]=[%s]", __func__, __LINE__, (int)i, list[i].c_str());
            if (list[i].compare(0, pl, METATREE_VAR_PREFIX) == 0 && list[i].size() > pl) {
                std::string name = list[i].substr(pl);
                menu_item(vars, ctx, name.c_str(), ACT_ADD_VAR, 0, name.c_str());
            }
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(vars), gtk_separator_menu_item_new());
        for (const char *fixed : {"in", "out", "dur"})
            menu_item(vars, ctx, fixed, ACT_ADD_VAR, 0, fixed);
        templates_submenu(menu, ctx, _("Replace template with"), ACT_REPLACE_TEMPLATE);
        break;
    }
    default:
        menu_item(menu, ctx, _("Delete"), ACT_DELETE);
        break;
    }
    /* Destroyed with the tree, so a dialog closed meanwhile leaves none. */
    if (ctx->menu)
        gtk_widget_destroy(ctx->menu);
    gtk_menu_attach_to_widget(GTK_MENU(menu), ctx->gr, detach_menu);
    ctx->menu = menu;
    return menu;
}

gboolean ui_bus_meta_tree_button_press(GtkWidget *widget, GdkEventButton *event, gpointer user_data)
{
    auto *ctx = static_cast<ui_bus_meta_tree_t *>(user_data);
    if (!event || event->type != GDK_BUTTON_PRESS || event->button != 3)
        return FALSE;
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(widget));
    if (gtk_tree_selection_count_selected_rows(sel) < 2) {
        GtkTreePath *path = nullptr;
        if (gtk_tree_view_get_path_at_pos(GTK_TREE_VIEW(widget), (gint)event->x, (gint)event->y, &path, nullptr,
                                          nullptr, nullptr)) {
            gtk_tree_selection_unselect_all(sel);
            gtk_tree_selection_select_path(sel, path);
            gtk_tree_path_free(path);
        }
    }
    popup(ctx, event->button, event->time);
    return TRUE;
}

gboolean ui_bus_meta_tree_popup_menu(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    popup(static_cast<ui_bus_meta_tree_t *>(user_data), 0, gtk_get_current_event_time());
    return TRUE;
}

gboolean ui_bus_meta_tree_key_press(GtkWidget *widget, GdkEventKey *event, gpointer user_data)
{
    (void)widget;
    auto *ctx = static_cast<ui_bus_meta_tree_t *>(user_data);
    if (!event || (event->keyval != GDK_KEY_Delete && event->keyval != GDK_KEY_KP_Delete))
        return FALSE;
    GtkTreeIter it;
    if (!selected(ctx, &it))
        return FALSE;
    delete_selected(ctx);
    return TRUE;
}

void ui_bus_meta_tree_edited(GtkCellRendererText *renderer, gchar *path, gchar *new_text, gpointer user_data)
{
    auto *ctx = static_cast<ui_bus_meta_tree_t *>(user_data);
    int column = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(renderer), "my_column_num"));
    g_warning("%s: will store [%s] at column [%d]", __func__, new_text ? new_text : "", column);
    GtkTreeIter it;
    if (!ctx || !path || !new_text || !gtk_tree_model_get_iter_from_string(ctx->model, &it, path))
        return;
    metatree_item_t *item = ui_bus_meta_tree_item(ctx, &it);
    if (!item)
        return;
    if (column == 2 && (item->type == METATREE_META_TEMPLATE || item->type == METATREE_META_GLOBAL))
        strlcpy(item->val, new_text, sizeof item->val);
    else if (column == 1 && item->type == METATREE_META_GLOBAL)
        strlcpy(item->key, new_text, sizeof item->key);
    redraw(ctx, &it);
}

void ui_bus_meta_tree_editing_started(GtkCellRenderer *renderer, GtkCellEditable *editable, gchar *path,
                                      gpointer user_data)
{
    (void)renderer;
    auto *ctx = static_cast<ui_bus_meta_tree_t *>(user_data);
    GtkTreeIter it;
    if (!ctx || !path || !gtk_tree_model_get_iter_from_string(ctx->model, &it, path))
        return;
    metatree_item_t *item = ui_bus_meta_tree_item(ctx, &it);
    if (item && is_frames_var(item->key) && GTK_IS_ENTRY(editable)) {
        g_warning("%s: ui_attach_tc_completition", __func__);
        ui_attach_tc_completition(GTK_WIDGET(editable));
    }
}
