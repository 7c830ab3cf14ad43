/* Channel map matrix and its presets: the radio matrix, the presets choice
 * and menu, the clipboard, and the presets file. */
#include "settings-amap.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "strl.h"
#include "ui_dlg.h"

#include "i18n.h"

namespace {

settings_amap_ui_presets_t presets_list[SETTINGS_AMAP_PRESETS_MAX] = {{"", "Custom"}, {"01234567", "Default"}};
int presets_count = 2;
char *presets_filename = nullptr;

/* One source channel as a map character: "0".."9", then "A" on. */
char map_char(int src)
{
    return (char)(src < 10 ? '0' + src : 'A' + src - 10);
}

/* Source of destination p in a map text, the identity when none is given.
 * Only the characters of the 32 sources ("0".."9", "A".."V") name one; any
 * other (a map from elsewhere) is logged and gives the identity. */
int map_src(const char *map, int p)
{
    if (!map || (int)strnlen(map, 260) <= p)
        return p;
    unsigned char ch = (unsigned char)map[p];
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'A' && ch < 'A' + 32 - 10)
        return ch - 'A' + 10;
    g_warning("%s: no source [0x%.2X] for destination %d, keeping its own", "settings_amap_ui_set", ch, p + 1);
    return p;
}

void tell(settings_amap_ui_t *ctx, const char *text)
{
    if (ctx && ctx->status_label)
        gtk_label_set_text(GTK_LABEL(ctx->status_label), text);
}

/* Saves and says on the widget when it failed: no modal box over the
 * operator's work. */
void save_and_tell(settings_amap_ui_t *ctx)
{
    int r = setting_amap_save_presets();
    if (r >= 0) {
        tell(ctx, "");
        return;
    }
    char text[600];
    snprintf(text, sizeof text, _("Presets not saved to %s: %s"), presets_filename ? presets_filename : "-",
             strerror(-r));
    tell(ctx, text);
}

void block_presets(settings_amap_ui_t *ctx, bool block)
{
    if (!ctx->presets_handler)
        return;
    if (block)
        g_signal_handler_block(ctx->presets_combo, ctx->presets_handler);
    else
        g_signal_handler_unblock(ctx->presets_combo, ctx->presets_handler);
}

void select_matching_preset(settings_amap_ui_t *ctx, const char *map, bool last)
{
    int sel = 0;
    for (int i = 0; i < presets_count; i++)
        if (!strcmp(presets_list[i].map, map)) {
            sel = i;
            if (!last)
                break;
        }
    block_presets(ctx, true);
    gtk_combo_box_set_active(GTK_COMBO_BOX(ctx->presets_combo), sel);
    block_presets(ctx, false);
}

void on_radio_toggled(GtkToggleButton *b, gpointer data)
{
    if (!gtk_toggle_button_get_active(b))
        return;
    settings_amap_ui_t *ctx = (settings_amap_ui_t *)data;
    char map[260];
    settings_amap_get(ctx, map, sizeof map);
    select_matching_preset(ctx, map, false);
    g_warning("%s: new conf=[%s]", "settings_amap_ui_toggled", map);
}

void on_preset_changed(GtkComboBox *combo, gpointer data)
{
    int i = gtk_combo_box_get_active(combo);
    if (i > 0 && i < presets_count)
        settings_amap_ui_set((settings_amap_ui_t *)data, presets_list[i].map);
}

/* ---- the presets menu ---- */

struct menu_ref
{
    settings_amap_ui_t *ctx;
    int idx;
};

menu_ref *ref_new(GtkWidget *item, settings_amap_ui_t *ctx, int idx)
{
    menu_ref *r = g_new0(menu_ref, 1);
    r->ctx = ctx;
    r->idx = idx;
    g_object_set_data_full(G_OBJECT(item), "settings_amap_menu_ref", r, g_free);
    return r;
}

void refresh(settings_amap_ui_t *ctx)
{
    char map[260];
    settings_amap_get(ctx, map, sizeof map);
    settings_amap_ui_presets_combo_setup(ctx, map);
    save_and_tell(ctx);
}

void on_new(GtkMenuItem *, gpointer data)
{
    menu_ref *r = (menu_ref *)data;
    if (presets_count >= SETTINGS_AMAP_PRESETS_MAX)
        return;
    char name[260] = "";
    if (!ui_dialog_input("Enter name of new preset:", 259, name) || !name[0])
        return;
    settings_amap_ui_presets_t *p = &presets_list[presets_count];
    settings_amap_get(r->ctx, p->map, sizeof p->map);
    strlcpy(p->title, name, sizeof p->title);
    presets_count++;
    refresh(r->ctx);
}

void on_update(GtkMenuItem *, gpointer data)
{
    menu_ref *r = (menu_ref *)data;
    if (r->idx < 2 || r->idx >= presets_count)
        return;
    settings_amap_get(r->ctx, presets_list[r->idx].map, sizeof presets_list[r->idx].map);
    refresh(r->ctx);
}

void on_rename(GtkMenuItem *, gpointer data)
{
    menu_ref *r = (menu_ref *)data;
    if (r->idx < 2 || r->idx >= presets_count)
        return;
    char name[260];
    strlcpy(name, presets_list[r->idx].title, sizeof name);
    if (!ui_dialog_input("Enter name of new preset:", 259, name) || !name[0])
        return;
    strlcpy(presets_list[r->idx].title, name, sizeof presets_list[r->idx].title);
    refresh(r->ctx);
}

void on_delete(GtkMenuItem *, gpointer data)
{
    menu_ref *r = (menu_ref *)data;
    if (r->idx < 2 || r->idx >= presets_count)
        return;
    memmove(&presets_list[r->idx], &presets_list[r->idx + 1],
            (size_t)(presets_count - r->idx - 1) * sizeof(presets_list[0]));
    presets_count--;
    memset(&presets_list[presets_count], 0, sizeof(presets_list[0]));
    refresh(r->ctx);
}

void on_copy(GtkMenuItem *, gpointer data)
{
    menu_ref *r = (menu_ref *)data;
    char map[260];
    settings_amap_get(r->ctx, map, sizeof map);
    GtkClipboard *cb = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    gtk_clipboard_set_text(cb, map, -1);
    gtk_clipboard_store(cb);
}

void forget_matrix(gpointer slot, GObject *)
{
    *(settings_amap_ui_t **)slot = nullptr;
}

void on_paste_text(GtkClipboard *, const gchar *text, gpointer data)
{
    settings_amap_ui_t *ctx = *(settings_amap_ui_t **)data;
    if (ctx)
        g_object_weak_unref(G_OBJECT(ctx->map_notebook), forget_matrix, data);
    g_free(data);
    if (!text || !ctx)
        return;
    g_warning("%s: text=[%s]", "settings_amap_ui_paste", text);
    settings_amap_ui_set(ctx, text);
}

void on_paste(GtkMenuItem *, gpointer data)
{
    menu_ref *r = (menu_ref *)data;
    /* The answer may come after the dialog is gone: the pointer is
     * cleared when the matrix is destroyed. */
    settings_amap_ui_t **slot = g_new0(settings_amap_ui_t *, 1);
    *slot = r->ctx;
    g_object_weak_ref(G_OBJECT(r->ctx->map_notebook), forget_matrix, slot);
    gtk_clipboard_request_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), on_paste_text, slot);
}

GtkWidget *item(GtkWidget *menu, const char *label, GCallback cb, settings_amap_ui_t *ctx, int idx)
{
    GtkWidget *it = gtk_menu_item_new_with_label(label);
    if (cb)
        g_signal_connect(it, "activate", cb, ref_new(it, ctx, idx));
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), it);
    return it;
}

void menu_position(GtkMenu *, gint *x, gint *y, gboolean *push_in, gpointer data)
{
    GtkWidget *button = GTK_WIDGET(data);
    gdk_window_get_origin(gtk_widget_get_window(button), x, y);
    *x += button->allocation.x;
    *y += button->allocation.y + button->allocation.height;
    *push_in = TRUE;
}

void on_presets_button(GtkButton *button, gpointer data)
{
    GtkWidget *menu = settings_amap_ui_presets_menu((settings_amap_ui_t *)data);
    g_signal_connect(menu, "selection-done", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show_all(menu);
    gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, menu_position, button, 0, gtk_get_current_event_time());
}

} // namespace

GtkWidget *settings_amap_ui_presets_menu(settings_amap_ui_t *ctx)
{
    GtkWidget *menu = gtk_menu_new();
    item(menu, _("New"), G_CALLBACK(on_new), ctx, -1);
    GtkWidget *existing = item(menu, _("Existing"), nullptr, ctx, -1);
    GtkWidget *sub = gtk_menu_new();
    for (int i = 2; i < presets_count; i++) {
        GtkWidget *p = item(sub, presets_list[i].title, nullptr, ctx, i);
        GtkWidget *actions = gtk_menu_new();
        item(actions, _("Update"), G_CALLBACK(on_update), ctx, i);
        item(actions, _("Rename"), G_CALLBACK(on_rename), ctx, i);
        item(actions, _("Delete"), G_CALLBACK(on_delete), ctx, i);
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(p), actions);
    }
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(existing), sub);
    GtkWidget *clip = item(menu, _("Clipboard"), nullptr, ctx, -1);
    GtkWidget *csub = gtk_menu_new();
    item(csub, _("Copy state"), G_CALLBACK(on_copy), ctx, -1);
    item(csub, _("Paste state"), G_CALLBACK(on_paste), ctx, -1);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(clip), csub);
    return menu;
}

GtkWidget *settings_amap_ui_create(settings_amap_ui_t *ctx, const char *curr)
{
    if (!curr)
        curr = "01234567";
    GtkWidget *frame = gtk_frame_new(_("Recording channel map:"));
    GtkWidget *box = gtk_vbox_new(FALSE, 2);
    gtk_container_add(GTK_CONTAINER(frame), box);

    GtkWidget *l = gtk_label_new(_("Presets:"));
    gtk_misc_set_alignment(GTK_MISC(l), 0, 0.5);
    gtk_box_pack_start(GTK_BOX(box), l, FALSE, FALSE, 0);
    GtkWidget *row = gtk_hbox_new(FALSE, 2);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 0);
    ctx->presets_combo = gtk_combo_box_new_text();
    gtk_box_pack_start(GTK_BOX(row), ctx->presets_combo, TRUE, TRUE, 0);
    ctx->presets_button = gtk_button_new();
    gtk_button_set_image(GTK_BUTTON(ctx->presets_button),
                         gtk_image_new_from_stock(GTK_STOCK_PROPERTIES, GTK_ICON_SIZE_MENU));
    gtk_widget_set_tooltip_text(ctx->presets_button, _("Config"));
    gtk_widget_set_name(ctx->presets_button, "button_modify_amap_presets");
    gtk_box_pack_start(GTK_BOX(row), ctx->presets_button, FALSE, FALSE, 0);
    g_signal_connect(ctx->presets_button, "clicked", G_CALLBACK(on_presets_button), ctx);

    l = gtk_label_new(_("Matrix:"));
    gtk_misc_set_alignment(GTK_MISC(l), 0, 0.5);
    gtk_box_pack_start(GTK_BOX(box), l, FALSE, FALSE, 0);
    ctx->map_notebook = gtk_notebook_new();
    gtk_box_pack_start(GTK_BOX(box), ctx->map_notebook, FALSE, FALSE, 0);
    ctx->status_label = gtk_label_new("");
    gtk_label_set_line_wrap(GTK_LABEL(ctx->status_label), TRUE);
    gtk_box_pack_start(GTK_BOX(box), ctx->status_label, FALSE, FALSE, 0);

    GSList *groups[8] = {};
    for (int page = 0; page < 4; page++) {
        GtkWidget *t = gtk_table_new(10, 9, FALSE);
        gtk_table_attach_defaults(GTK_TABLE(t), gtk_label_new("dst"), 0, 1, 0, 1);
        gtk_table_attach_defaults(GTK_TABLE(t), gtk_label_new("src"), 1, 9, 0, 1);
        gtk_table_attach_defaults(GTK_TABLE(t), gtk_label_new("#"), 0, 1, 1, 2);
        char num[16];
        for (int s = 0; s < 8; s++) {
            snprintf(num, sizeof num, "%d", page * 8 + s + 1);
            gtk_table_attach_defaults(GTK_TABLE(t), gtk_label_new(num), (guint)s + 1, (guint)s + 2, 1, 2);
        }
        for (int d = 0; d < 8; d++) {
            snprintf(num, sizeof num, "%d", d + 1);
            gtk_table_attach_defaults(GTK_TABLE(t), gtk_label_new(num), 0, 1, (guint)d + 2, (guint)d + 3);
            for (int s = 0; s < 8; s++) {
                int src = page * 8 + s;
                GtkWidget *r = gtk_radio_button_new(groups[d]);
                groups[d] = gtk_radio_button_get_group(GTK_RADIO_BUTTON(r));
                ctx->map_radios[d][src] = r;
                ctx->radio_handlers[d][src] = g_signal_connect(r, "toggled", G_CALLBACK(on_radio_toggled), ctx);
                gtk_table_attach_defaults(GTK_TABLE(t), r, (guint)s + 1, (guint)s + 2, (guint)d + 2, (guint)d + 3);
            }
        }
        snprintf(num, sizeof num, "%d-%d", page * 8 + 1, page * 8 + 8);
        gtk_notebook_append_page(GTK_NOTEBOOK(ctx->map_notebook), t, gtk_label_new(num));
    }
    ctx->presets_handler = g_signal_connect(ctx->presets_combo, "changed", G_CALLBACK(on_preset_changed), ctx);
    settings_amap_ui_set(ctx, curr);
    settings_amap_ui_presets_combo_setup(ctx, curr);
    return frame;
}

char *settings_amap_get(settings_amap_ui_t *ctx, char *dst, size_t lim)
{
    char map[9];
    int n = 0;
    for (int d = 0; d < 8; d++) {
        int src = -1;
        for (int s = 0; s < 32 && src < 0; s++)
            if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(ctx->map_radios[d][s])))
                src = s;
        if (src < 0)
            break;
        map[n++] = map_char(src);
    }
    map[n] = 0;
    if (dst && lim)
        strlcpy(dst, map, lim);
    return dst;
}

void settings_amap_ui_set(settings_amap_ui_t *ctx, const char *curr)
{
    for (int d = 0; d < 8; d++)
        for (int s = 0; s < 32; s++)
            g_signal_handler_block(ctx->map_radios[d][s], ctx->radio_handlers[d][s]);
    for (int d = 0; d < 8; d++)
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ctx->map_radios[d][map_src(curr, d)]), TRUE);
    for (int d = 0; d < 8; d++)
        for (int s = 0; s < 32; s++)
            g_signal_handler_unblock(ctx->map_radios[d][s], ctx->radio_handlers[d][s]);
}

void settings_amap_ui_presets_combo_setup(settings_amap_ui_t *ctx, const char *curr)
{
    block_presets(ctx, true);
    GtkTreeModel *m = gtk_combo_box_get_model(GTK_COMBO_BOX(ctx->presets_combo));
    gtk_list_store_clear(GTK_LIST_STORE(m));
    for (int i = 0; i < presets_count; i++)
        gtk_combo_box_append_text(GTK_COMBO_BOX(ctx->presets_combo), presets_list[i].title);
    block_presets(ctx, false);
    select_matching_preset(ctx, curr ? curr : "", true);
}

int setting_amap_add_preset(const char *name)
{
    if (presets_filename)
        return -17;
    if (!name)
        return -22;
    presets_filename = strdup(name);
    FILE *f = fopen(name, "r");
    if (!f)
        return -errno;
    char line[260];
    bool tail = false; /* the rest of a line longer than 259 characters */
    while (fgets(line, sizeof line, f)) {
        bool was_tail = tail;
        tail = !strchr(line, '\n') && !feof(f);
        if (was_tail || presets_count >= SETTINGS_AMAP_PRESETS_MAX)
            continue;
        char *slash = strchr(line, '/');
        if (!slash)
            continue;
        *slash = 0;
        char *title = slash + 1;
        title[strcspn(title, "\n\r\t")] = 0;
        strlcpy(presets_list[presets_count].map, line, sizeof presets_list[0].map);
        strlcpy(presets_list[presets_count].title, title, sizeof presets_list[0].title);
        presets_count++;
    }
    fclose(f);
    return presets_count;
}

int setting_amap_save_presets(void)
{
    if (!presets_filename) {
        g_warning("%s: please specify file to save", __func__);
        return -2;
    }
    g_warning("%s: will save to file [%s]", __func__, presets_filename);
    std::string text;
    for (int i = 2; i < presets_count; i++)
        text += std::string(presets_list[i].map) + "/" + presets_list[i].title + "\n";
    /* A new file beside the old one, renamed over it: a failed write leaves
     * the old file as it was. */
    std::string tmp = std::string(presets_filename) + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    int r = fd < 0 ? -errno : 0;
    if (fd >= 0) {
        struct stat st;
        fchmod(fd, stat(presets_filename, &st) == 0 ? (st.st_mode & 07777) : 0644);
        if (write(fd, text.data(), text.size()) != (ssize_t)text.size())
            r = errno ? -errno : -EIO;
        if (close(fd) != 0 && !r)
            r = -errno;
        if (!r && rename(tmp.c_str(), presets_filename) != 0)
            r = -errno;
        if (r)
            unlink(tmp.c_str());
    }
    if (r) {
        g_warning("%s: failed to save [%s]", __func__, presets_filename);
        return r;
    }
    return presets_count;
}

const settings_amap_ui_presets_t *settings_amap_presets(int *count)
{
    if (count)
        *count = presets_count;
    return presets_list;
}

void settings_amap_presets_reset(void)
{
    free(presets_filename);
    presets_filename = nullptr;
    memset(&presets_list[2], 0, sizeof(presets_list) - 2 * sizeof(presets_list[0]));
    presets_count = 2;
}
