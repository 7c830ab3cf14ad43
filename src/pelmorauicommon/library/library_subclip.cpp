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

typedef std::vector<pelmora_lib_subclip_t> subclips_t;

/* What a save did, for the pane. */
struct store_outcome
{
    enum
    {
        DONE,       /* the server holds the edited list */
        NOT_READ,   /* its list could not be read first: nothing changed */
        REFUSED,    /* a registration refused, the ones before taken back */
        UNANSWERED, /* a call without an answer: its outcome is unknown */
        OLD_KEPT,   /* all registered, an old one could not be removed */
        UNEXPECTED, /* all registered, but the list was not as expected */
    } what = DONE;
    int r = 0;           /* the failing call's result */
    int nth = 0, of = 0; /* the refused registration, of how many */
    int untaken = 0;     /* registered before it and still there */
    int held = -1;       /* subclips the server holds after, -1 unread */
    int held_is = 0;     /* 1: the old list, 2: the edited one, 0: other */
};

/* Marks, and with `titles` the title too (a server may clean a title it
 * registers, so what it gives back is compared by marks). */
bool same(const pelmora_lib_subclip_t &a, const pelmora_lib_subclip_t &b, bool titles)
{
    return a.mark_in == b.mark_in && a.duration == b.duration &&
           (!titles || strncmp(a.title, b.title, sizeof(a.title)) == 0);
}

int read_list(const char *url, const char *src, pelmora_lib_item_t *item, subclips_t *out)
{
    pelmora_lib_subclip_t **l = nullptr;
    int r = pelmora_lib_list_subclips(url, src, &l, item);
    out->clear();
    for (int i = 0; r >= 0 && l && l[i]; i++)
        out->push_back(*l[i]);
    if (l)
        pelmora_lib_list_subclips_free(&l);
    return r < 0 ? r : (int)out->size();
}

/* The server's list is old followed by add[from, to), compared by marks
 * past the old ones: only then are its places known. */
bool holds(const subclips_t &now, const subclips_t &old, const subclips_t &add, size_t from, size_t to)
{
    if (now.size() != old.size() + (to - from))
        return false;
    for (size_t i = 0; i < now.size(); i++)
        if (i < old.size() ? !same(now[i], old[i], true) : !same(now[i], add[from + i - old.size()], false))
            return false;
    return true;
}

void read_back(const char *url, const char *src, pelmora_lib_item_t *item, const subclips_t &old,
               const subclips_t &edited, store_outcome *o)
{
    subclips_t now;
    if (read_list(url, src, item, &now) < 0)
        return;
    o->held = (int)now.size();
    o->held_is = holds(now, old, old, 0, 0) ? 1 : holds(now, {}, edited, 0, edited.size()) ? 2 : 0;
}

/* Replaces the item's subclips on the server by `edited`. The server only
 * appends and removes by place, so the new ones are registered first, after
 * the old, and the old ones go only once every new one is there and the
 * list is as expected: a refused call at any point leaves every old
 * subclip or every new one. A refused registration has the ones before it
 * taken back; a call without an answer stops everything (what it did is
 * unknown), and what the server holds is read back. Worker thread. */
store_outcome store_subclips(const char *url, const char *src, pelmora_lib_item_t *item, const subclips_t &edited)
{
    store_outcome o;
    subclips_t old;
    int r = read_list(url, src, item, &old);
    if (r < 0) {
        o.what = store_outcome::NOT_READ;
        o.r = r;
        return o;
    }
    /* What the two share at the start stays where it is. */
    size_t keep = 0;
    while (keep < old.size() && keep < edited.size() && same(old[keep], edited[keep], true))
        keep++;
    const size_t k = old.size(), m = edited.size();
    for (size_t j = keep; j < m; j++) {
        const pelmora_lib_subclip_t &s = edited[j];
        r = pelmora_lib_register_subclip(url, src, s.mark_in, s.duration, s.title);
        fprintf(stderr, "%s: pelmora_lib_register_subclip(%s, %d, %d, %s)=%d\n", "library_subclip_dialog", src,
                s.mark_in, s.duration, s.title, r);
        if (r >= 0)
            continue;
        o.r = r;
        if (r == -14) {
            o.what = store_outcome::UNANSWERED;
            read_back(url, src, item, old, edited, &o);
            return o;
        }
        o.what = store_outcome::REFUSED;
        o.nth = (int)(j - keep + 1);
        o.of = (int)(m - keep);
        o.untaken = (int)(j - keep);
        subclips_t now;
        if (o.untaken && read_list(url, src, item, &now) >= 0 && holds(now, old, edited, keep, j))
            for (size_t t = j; t-- > keep;) {
                int d = pelmora_lib_delete_subclip(url, src, (int)(k + t - keep));
                if (d < 0)
                    break; /* unanswered or refused: the rest stays */
                o.untaken--;
            }
        read_back(url, src, item, old, edited, &o);
        return o;
    }
    if (k > keep) {
        subclips_t now;
        r = read_list(url, src, item, &now);
        if (r < 0 || !holds(now, old, edited, keep, m)) {
            o.what = store_outcome::UNEXPECTED;
            o.r = r < 0 ? r : 0;
            read_back(url, src, item, old, edited, &o);
            return o;
        }
        for (size_t i = keep; i < k; i++) {
            r = pelmora_lib_delete_subclip(url, src, (int)keep);
            if (r < 0) {
                o.what = r == -14 ? store_outcome::UNANSWERED : store_outcome::OLD_KEPT;
                o.r = r;
                read_back(url, src, item, old, edited, &o);
                return o;
            }
        }
    }
    return o;
}

/* The pane's words for a save that did not end as the operator wanted. */
std::string said(const store_outcome &o, const char *src)
{
    char head[900] = "", tail[300] = "";
    switch (o.what) {
    case store_outcome::DONE:
        return "";
    case store_outcome::NOT_READ:
        snprintf(head, sizeof head, _("Subclips of %s not saved: their list on the server could not be read (%d)."),
                 src, o.r);
        return head;
    case store_outcome::REFUSED:
        snprintf(head, sizeof head, _("Subclips of %s not saved: the server refused subclip %d of %d: %s (%d)."), src,
                 o.nth, o.of, g_strerror(-o.r), o.r);
        if (o.untaken) {
            size_t n = strlen(head);
            snprintf(head + n, sizeof head - n, _(" %d registered before it could not be taken back."), o.untaken);
        }
        break;
    case store_outcome::UNANSWERED:
        snprintf(head, sizeof head,
                 _("Subclips of %s: no answer from the library server (%d), whether the last change was made is "
                   "unknown."),
                 src, o.r);
        break;
    case store_outcome::OLD_KEPT:
        snprintf(head, sizeof head, _("Subclips of %s saved, but the old ones could not all be removed: %s (%d)."), src,
                 g_strerror(-o.r), o.r);
        break;
    case store_outcome::UNEXPECTED:
        snprintf(head, sizeof head,
                 _("Subclips of %s saved beside the old ones: the list on the server was not as expected, so none "
                   "was removed."),
                 src);
        break;
    }
    if (o.held < 0)
        snprintf(tail, sizeof tail, "%s", _(" What the server holds now could not be read."));
    else if (o.held_is == 1)
        snprintf(tail, sizeof tail, _(" The clip keeps its subclips as they were (%d)."), o.held);
    else if (o.held_is == 2)
        snprintf(tail, sizeof tail, _(" The clip holds the saved subclips (%d)."), o.held);
    else
        snprintf(tail, sizeof tail, _(" The server holds %d subclips of the clip now."), o.held);
    return std::string(head) + tail;
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
        subclips_t edited;
        for (int i = 0; list && list[i]; i++)
            edited.push_back(*list[i]);
        store_outcome o;
        library_jobs_call([&] {
            o = store_subclips(url.c_str(), src.c_str(), item, edited);
            return 0;
        });
        /* Said where the operator looks, not only in the log. */
        std::string why = said(o, src.c_str());
        if (!why.empty())
            library_ui_notice(lib, why.c_str());
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
