/* Library subclip dialog entry point. */
#include "library_subclip.h"

#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "library_ui.h"
#include "srv.h"
#include "strl.h"
#include "subclip_dialog.h"
#include "timecode.h"
#include "transfer_jobs.h"
#include "ui_dlg.h"

#include "i18n.h"

namespace {

GtkWidget *window_of(library_t *lib)
{
    GtkWidget *tree = lib->ui[LIBRARY_UI_CLIPS_TREE];
    GtkWidget *top = tree ? gtk_widget_get_toplevel(tree) : nullptr;
    return top && gtk_widget_is_toplevel(top) ? top : nullptr;
}

int count(pelmora_lib_subclip_t **l)
{
    int n = 0;
    while (l && l[n])
        n++;
    return n;
}

} // namespace

int library_subclip_dialog(library_t *lib)
{
    if (!lib)
        return -22;
    GtkWidget *win = window_of(lib);
    if (!lib->preview_io_host[0]) {
        ui_show_error(win, _("NO WAY TO PREVIEW"), _("No available player for preview"));
        return -22;
    }
    int ni = 0, ns = 0;
    pelmora_lib_item_t *items = library_get_selected_items(lib, &ni);
    pelmora_lib_subclip_t *subs = library_get_selected_subclips(lib, &ns);
    std::string src;
    int pos = -1;
    if (ni == 1 && ns == 0)
        src = items[0].full;
    else if (ni == 0 && ns == 1 && subs[0].parent) {
        src = subs[0].parent->full;
        pos = subs[0].idx;
    }
    free(items);
    free(subs);
    if (src.empty()) {
        ui_show_error(win, _("NOT SINGLE ITEM SELECTION"), _("Select ONE clips or subclip"));
        return -2;
    }

    auto *srv = static_cast<srv_t *>(calloc(1, sizeof(srv_t)));
    auto *item = static_cast<pelmora_lib_item_t *>(calloc(1, sizeof(pelmora_lib_item_t)));
    if (!srv || !item) {
        free(srv);
        free(item);
        return -12;
    }
    strlcpy(srv->host, lib->preview_io_host, sizeof srv->host);
    strlcpy(srv->url, ("http://" + std::string(lib->preview_io_host) + "/RPC2").c_str(), sizeof srv->url);
    std::string url = srv->url;

    /* Read from the preview server: the editor plays what that server has. */
    pelmora_lib_subclip_t **list = nullptr;
    int rl = 0;
    int r = library_jobs_call([&] {
        int m = pelmora_lib_meta_item(url.c_str(), src.c_str(), item);
        if (m >= 0)
            rl = pelmora_lib_list_subclips(url.c_str(), src.c_str(), &list, item);
        return m;
    });
    if (r < 0) {
        ui_show_error(win, src.c_str(), _("pelmora_lib_meta_item failed"));
        free(srv);
        free(item);
        return r;
    }
    if (rl < 0)
        ui_show_error(win, src.c_str(), _("pelmora_lib_list_subclips failed"));

    pelmora_lib_subclip_t edit;
    memset(&edit, 0, sizeof edit);
    if (pos < 0 || pos >= count(list)) {
        edit.idx = -1;
        edit.mark_in = 0;
        edit.duration = tc_sec2frames(item->duration);
        edit.parent = item;
        if (!list)
            list = static_cast<pelmora_lib_subclip_t **>(calloc(1, sizeof(pelmora_lib_subclip_t *)));
    } else
        edit = *list[pos];

    srv_init(srv);
    srv_run(srv);
    int saved = subclip_dialog(win, srv, &edit, -1, 0, &list);
    if (saved == 1) {
        std::vector<pelmora_lib_subclip_t> keep;
        for (int i = 0; list && list[i]; i++)
            keep.push_back(*list[i]);
        int failed = 0, first_error = 0;
        library_jobs_call([&] {
            /* Everything the item had goes, then the edited list in order. */
            for (int guard = 0; guard < 10000; guard++)
                if (pelmora_lib_delete_subclip(url.c_str(), src.c_str(), 0) < 0)
                    break;
            for (const pelmora_lib_subclip_t &s : keep) {
                int rr = pelmora_lib_register_subclip(url.c_str(), src.c_str(), s.mark_in, s.duration, s.title);
                fprintf(stderr, "%s: pelmora_lib_register_subclip(%s, %d, %d, %s)=%d\n", "library_subclip_dialog",
                        src.c_str(), s.mark_in, s.duration, s.title, rr);
                if (rr < 0 && !failed++)
                    first_error = rr;
            }
            return 0;
        });
        /* Said where the operator looks, not only in the log. */
        if (failed) {
            char *why = g_strdup_printf(_("%d of %d subclips of %s were not saved: %s (%d)"), failed, (int)keep.size(),
                                        src.c_str(), g_strerror(-first_error), first_error);
            library_ui_notice(lib, why);
            g_free(why);
        }
        library_ui_reopen_item(lib, src.c_str());
    }
    srv_stop(srv);
    srv_release(srv);
    free(srv);
    if (list)
        pelmora_lib_list_subclips_free(&list);
    free(item);
    return 0;
}
