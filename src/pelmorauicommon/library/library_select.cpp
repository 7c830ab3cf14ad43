/* Select-item dialog. */
#include "library_select.h"

#include <stdlib.h>
#include <string.h>

#include "library_capacity.h"
#include "library_ui.h"
#include "strl.h"
#include "transfer_jobs.h"
#include "ui_dlg.h"

#include "i18n.h"

namespace {

void on_item_activated(library_t *, void *item, void *, void *data)
{
    if (item)
        gtk_dialog_response(GTK_DIALOG(data), GTK_RESPONSE_ACCEPT);
}

char **path_list(const char *(*full_of)(const void *, int), const void *records, int n)
{
    char **l = static_cast<char **>(calloc((size_t)n + 1, sizeof(char *)));
    for (int i = 0; l && i < n; i++)
        l[i] = strdup(full_of(records, i));
    return l;
}

} // namespace

int library_ui_select_item_dialog_create(library_ui_select_item_dialog_t **pp, GtkWidget *window, const char *title,
                                         const char *lib_url)
{
    if (!pp)
        return -22;
    auto *d = static_cast<library_ui_select_item_dialog_t *>(calloc(1, sizeof(library_ui_select_item_dialog_t)));
    if (!d)
        return -12;
    strlcpy(d->lib.url, lib_url ? lib_url : "", sizeof d->lib.url);
    strlcpy(d->title, title ? title : "", sizeof d->title);
    d->dlg = gtk_dialog_new_with_buttons(d->title, window ? GTK_WINDOW(gtk_widget_get_toplevel(window)) : nullptr,
                                         GTK_DIALOG_MODAL, GTK_STOCK_OK, GTK_RESPONSE_ACCEPT, GTK_STOCK_CANCEL,
                                         GTK_RESPONSE_REJECT, NULL);
    gtk_dialog_set_default_response(GTK_DIALOG(d->dlg), GTK_RESPONSE_ACCEPT);
    d->box = gtk_dialog_get_content_area(GTK_DIALOG(d->dlg));
    d->vbox = gtk_vbox_new(FALSE, 0);
    gtk_widget_set_size_request(d->vbox, 1000, 600);
    gtk_box_pack_start(GTK_BOX(d->vbox), library_ui_tree_create(&d->lib), TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(d->vbox), library_ui_search_row_create(&d->lib), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(d->box), d->vbox, TRUE, TRUE, 0);
    gtk_widget_show_all(d->vbox);
    ui_dlg_fit_screen(d->dlg, window);
    library_init(&d->lib);
    d->lib.row_activated_cb.proc = on_item_activated;
    d->lib.row_activated_cb.data = d->dlg;
    /* The capacity comes with one state read, on a worker while the main
     * loop goes on. */
    library_jobs_call([d] { return library_stat_notify(&d->lib, 0); });
    *pp = d;
    return 0;
}

int library_ui_select_item_dialog_run(library_ui_select_item_dialog_t *ctx, const char *item_select, int *p_paths_cnt,
                                      char ***p_paths_list, int *p_items_cnt, char ***p_items_list)
{
    if (p_paths_cnt)
        *p_paths_cnt = 0;
    if (p_items_cnt)
        *p_items_cnt = 0;
    if (p_paths_list)
        *p_paths_list = nullptr;
    if (p_items_list)
        *p_items_list = nullptr;
    if (!ctx)
        return -22;
    gtk_widget_show(ctx->dlg);
    if (item_select && *item_select)
        library_select_item_wait(&ctx->lib, item_select, LIBRARY_UI_SELECT_WAIT_MS);
    else
        library_unselect_all(&ctx->lib);
    gtk_widget_grab_focus(ctx->lib.ui[LIBRARY_UI_CLIPS_TREE]);
    int r = gtk_dialog_run(GTK_DIALOG(ctx->dlg));
    int n = 0;
    if (r == GTK_RESPONSE_ACCEPT) {
        int nd = 0, ni = 0;
        pelmora_lib_dir_t *dirs = library_get_selected_dirs(&ctx->lib, &nd);
        pelmora_lib_item_t *items = library_get_selected_items(&ctx->lib, &ni);
        if (p_paths_list && p_paths_cnt) {
            *p_paths_list =
                path_list([](const void *rec,
                             int i) -> const char * { return static_cast<const pelmora_lib_dir_t *>(rec)[i].full; },
                          dirs, nd);
            *p_paths_cnt = nd;
            n += nd;
        }
        if (p_items_list && p_items_cnt) {
            *p_items_list =
                path_list([](const void *rec,
                             int i) -> const char * { return static_cast<const pelmora_lib_item_t *>(rec)[i].full; },
                          items, ni);
            *p_items_cnt = ni;
            n += ni;
        }
        free(dirs);
        free(items);
    }
    gtk_widget_hide(ctx->dlg);
    return n;
}

int library_ui_select_item_dialog_list_destroy(char ***plist)
{
    if (!plist)
        return -22;
    for (char **p = *plist; p && *p; p++)
        free(*p);
    free(*plist);
    *plist = nullptr;
    return 0;
}

int library_ui_select_item_dialog_destroy(library_ui_select_item_dialog_t **pp)
{
    if (!pp || !*pp)
        return -22;
    library_ui_select_item_dialog_t *d = *pp;
    library_release(&d->lib);
    gtk_widget_destroy(d->dlg);
    pthread_mutex_destroy(&d->lib.lock);
    free(d);
    *pp = nullptr;
    return 0;
}
