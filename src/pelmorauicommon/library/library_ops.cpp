/* Library operations: create, rename, move and delete. */
#include "library_ops.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "library_select.h"
#include "library_ui.h"
#include "strl.h"
#include "transfer_jobs.h"
#include "ui_dlg.h"

/* The library operations translate in their own text domain. */
#define LIB_(s) g_dgettext("pelmorabox", s)

namespace {

/* One operation of a view at a time: the main loop runs while the server
 * works, and a second click must not start another one. */
struct busy_guard
{
    library_t *lib;
    bool taken;
    explicit busy_guard(library_t *l) : lib(l), taken(library_ui_busy(l, 1) == 1) {}
    ~busy_guard()
    {
        if (taken)
            library_ui_busy(lib, 0);
    }
    busy_guard(const busy_guard &) = delete;
    busy_guard &operator=(const busy_guard &) = delete;
};

/* One name typed by the operator, up to 259 bytes, proposed text first.
 * No character is kept from being typed: what cannot stand in a name is
 * replaced afterwards, so the operator's text is not silently shortened. */
int ask_name(const char *question, char name[260])
{
    GtkWidget *dlg = gtk_dialog_new_with_buttons(question, nullptr, GTK_DIALOG_MODAL, GTK_STOCK_OK, GTK_RESPONSE_ACCEPT,
                                                 GTK_STOCK_CANCEL, GTK_RESPONSE_REJECT, NULL);
    ui_dlg_place(dlg, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
    GtkWidget *entry = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(entry), 259);
    gtk_entry_set_text(GTK_ENTRY(entry), name);
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    gtk_widget_set_size_request(entry, 400, -1);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), entry, TRUE, TRUE, 0);
    gtk_widget_show(entry);
    g_object_set_data(G_OBJECT(dlg), "entry", entry);
    int ok = gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT;
    if (ok)
        strlcpy(name, gtk_entry_get_text(GTK_ENTRY(entry)), 260);
    gtk_widget_destroy(dlg);
    if (ok) {
        _fix_chars_paths(name);
        ok = name[0] != 0;
    }
    return ok;
}

/* Plain words for a refused call. */
std::string failure(const char *what, const char *path, int r)
{
    char text[800];
    if (r == -14)
        snprintf(text, sizeof text, LIB_("%s of %s failed: no answer from the library server (%d)"), what, path, r);
    else
        snprintf(text, sizeof text, LIB_("%s of %s refused: %s (%d)"), what, path, g_strerror(-r), r);
    return text;
}

/* Says every failure on the notice line: the first one and how many more. */
void tell(library_t *lib, std::vector<std::string> failed)
{
    if (failed.empty())
        return;
    std::string text = failed[0];
    if (failed.size() > 1) {
        char more[64];
        snprintf(more, sizeof more, LIB_(" (and %d more failures)"), (int)failed.size() - 1);
        text += more;
    }
    library_ui_notice(lib, text.c_str());
}

struct selection
{
    int ni = 0, nd = 0, ns = 0;
    pelmora_lib_item_t *items = nullptr;
    pelmora_lib_dir_t *dirs = nullptr;
    pelmora_lib_subclip_t *subs = nullptr;
    explicit selection(library_t *lib, bool with_subclips = false)
    {
        items = library_get_selected_items(lib, &ni);
        dirs = library_get_selected_dirs(lib, &nd);
        if (with_subclips)
            subs = library_get_selected_subclips(lib, &ns);
    }
    ~selection()
    {
        free(items);
        free(dirs);
        free(subs);
    }
    selection(const selection &) = delete;
    selection &operator=(const selection &) = delete;
};

} // namespace

int _fix_chars_paths(char *str)
{
    int n = 0;
    for (char *p = str; p && *p; p++)
        if (strchr("/\\\"\n\r\t", *p)) {
            *p = '_';
            n++;
        }
    return n;
}

int library_ops_sibling_path(const char *full, const char *name, char *out)
{
    const char *s = strrchr(full, '/');
    if (!s)
        return -22;
    std::string p(full, (size_t)(s - full) + 1);
    p += name;
    if (p.size() >= 260)
        return -36; /* cut to fit, it would name another row */
    strlcpy(out, p.c_str(), 260);
    return 0;
}

gboolean library_create_dir_srv(GtkWidget *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    g_warning("%s: here", __func__);
    busy_guard guard(lib);
    if (!guard.taken)
        return TRUE;
    selection sel(lib);
    char name[260] = "New Folder", path[260];
    if (sel.ni == 1 && sel.nd == 0) {
        if (!ask_name(LIB_("Enter new directory name:"), name))
            return TRUE;
        if (library_ops_sibling_path(sel.items[0].full, name, path) < 0)
            path[0] = 0;
    } else if (sel.ni == 0 && sel.nd == 1) {
        if (!ask_name(LIB_("Enter new directory name:"), name))
            return TRUE;
        std::string joined = std::string(sel.dirs[0].full) + "/" + name;
        if (joined.size() >= sizeof path)
            path[0] = 0;
        else
            strlcpy(path, joined.c_str(), sizeof path);
    } else
        return TRUE;
    if (!path[0]) {
        /* Cut to fit, it would name another folder. */
        tell(lib, {failure(LIB_("Creating the folder"), name, -36)});
        return TRUE;
    }
    std::string url = lib->url, dir = path;
    int r = library_jobs_call([&] { return pelmora_lib_create_dir(url.c_str(), dir.c_str()); });
    g_warning("%s: pelmora_lib_create_dir(%s)=%d", __func__, path, r);
    if (r < 0)
        tell(lib, {failure(LIB_("Creating the folder"), path, r)});
    return TRUE;
}

gboolean library_rename_item_srv(GtkWidget *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    g_warning("%s: here", __func__);
    busy_guard guard(lib);
    if (!guard.taken)
        return TRUE;
    selection sel(lib);
    char name[260], dst[260];
    const char *src;
    if (sel.ni == 1 && sel.nd == 0) {
        strlcpy(name, sel.items[0].name, sizeof name);
        if (!ask_name(LIB_("Enter new item name:"), name))
            return TRUE;
        src = sel.items[0].full;
    } else if (sel.ni == 0 && sel.nd == 1) {
        strlcpy(name, sel.dirs[0].name, sizeof name);
        if (!ask_name(LIB_("Enter new dir name:"), name))
            return TRUE;
        src = sel.dirs[0].full;
    } else
        return TRUE;
    if (library_ops_sibling_path(src, name, dst) < 0) {
        tell(lib, {failure(LIB_("Renaming"), src, -36)});
        return TRUE;
    }
    std::string url = lib->url, a = src, b = dst;
    int r = library_jobs_call([&] { return pelmora_lib_rename_item(url.c_str(), a.c_str(), b.c_str()); });
    g_warning("%s: pelmora_lib_rename_item(%s, %s)=%d", __func__, a.c_str(), b.c_str(), r);
    if (r < 0)
        tell(lib, {failure(LIB_("Renaming"), a.c_str(), r)});
    return TRUE;
}

gboolean library_move_items_srv(GtkWidget *button, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    g_warning("%s: here", __func__);
    busy_guard guard(lib);
    if (!guard.taken)
        return TRUE;
    if (!lib->select_item_dialog.ctx) {
        library_ui_select_item_dialog_t *d = nullptr;
        if (library_ui_select_item_dialog_create(&d, button, LIB_("Select PATH"), lib->url) < 0)
            return TRUE;
        lib->select_item_dialog.ctx = d;
        strlcpy(lib->select_item_dialog.path, "/", sizeof lib->select_item_dialog.path);
    }
    /* The selection is read before the dialog: its tree is another one, but
     * the journal may change this one while the operator chooses. */
    selection sel(lib);
    int np = 0, ni = 0;
    char **paths = nullptr, **items = nullptr;
    auto *d = static_cast<library_ui_select_item_dialog_t *>(lib->select_item_dialog.ctx);
    library_ui_select_item_dialog_run(d, lib->select_item_dialog.path, &np, &paths, &ni, &items);
    if (np == 1) {
        strlcpy(lib->select_item_dialog.path, paths[0], sizeof lib->select_item_dialog.path);
        g_warning("%s: DST=[%s]", __func__, paths[0]);
        std::vector<std::pair<std::string, std::string>> moves;
        std::vector<bool> is_dir;
        for (int i = 0; i < sel.nd; i++) {
            moves.emplace_back(sel.dirs[i].full, std::string(paths[0]) + "/" + sel.dirs[i].name);
            is_dir.push_back(true);
        }
        for (int i = 0; i < sel.ni; i++) {
            moves.emplace_back(sel.items[i].full, std::string(paths[0]) + "/" + sel.items[i].name);
            is_dir.push_back(false);
        }
        std::string url = lib->url;
        std::vector<int> results(moves.size(), 0);
        library_jobs_call([&] {
            for (size_t i = 0; i < moves.size(); i++) {
                const char *kind = is_dir[i] ? "dir" : "item";
                g_warning("%s: %s pelmora_lib_rename_item([%s], [%s])", "library_move_items_srv", kind,
                          moves[i].first.c_str(), moves[i].second.c_str());
                results[i] = pelmora_lib_rename_item(url.c_str(), moves[i].first.c_str(), moves[i].second.c_str());
                g_warning("%s: %s r=%d", "library_move_items_srv", kind, results[i]);
            }
            return 0;
        });
        std::vector<std::string> failed;
        for (size_t i = 0; i < moves.size(); i++)
            if (results[i] < 0)
                failed.push_back(failure(LIB_("Moving"), moves[i].first.c_str(), results[i]));
        tell(lib, failed);
    }
    library_ui_select_item_dialog_list_destroy(&paths);
    library_ui_select_item_dialog_list_destroy(&items);
    return TRUE;
}

gboolean library_delete_items_srv(GtkWidget *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    g_warning("%s: here", __func__);
    busy_guard guard(lib);
    if (!guard.taken)
        return TRUE;
    selection sel(lib, true);
    if (!sel.ni && !sel.nd && !sel.ns)
        return TRUE;
    /* What goes is named under the question: items and folders by path,
     * subclips by item and title. */
    std::vector<std::string> shown;
    for (int i = 0; i < sel.ni; i++)
        shown.push_back(sel.items[i].full);
    for (int i = 0; i < sel.nd; i++)
        shown.push_back(std::string(sel.dirs[i].full) + "/");
    for (int i = 0; i < sel.ns; i++)
        shown.push_back(std::string(sel.subs[i].parent ? sel.subs[i].parent->full : "") + " # " + sel.subs[i].title);
    std::vector<const char *> names;
    for (const std::string &n : shown)
        names.push_back(n.c_str());
    if (!ui_dialog_ok_cancel_list("Delete selected library items?", names.data(), (int)names.size()))
        return TRUE;
    std::vector<std::string> items, dirs;
    for (int i = 0; i < sel.ni; i++)
        items.push_back(sel.items[i].full);
    for (int i = 0; i < sel.nd; i++)
        dirs.push_back(sel.dirs[i].full);
    /* Highest position first within an item: the positions of the others
     * stay valid while their item's subclips are deleted one by one. */
    std::vector<std::pair<std::string, int>> subs;
    for (int i = 0; i < sel.ns; i++)
        if (sel.subs[i].parent)
            subs.emplace_back(sel.subs[i].parent->full, sel.subs[i].idx);
    std::sort(subs.begin(), subs.end(), [](const auto &a, const auto &b) {
        int c = strcmp(a.first.c_str(), b.first.c_str());
        return c != 0 ? c > 0 : a.second > b.second;
    });
    std::string url = lib->url;
    std::vector<int> ri(items.size()), rd(dirs.size()), rs(subs.size());
    library_jobs_call([&] {
        for (size_t i = 0; i < items.size(); i++) {
            ri[i] = pelmora_lib_delete_item(url.c_str(), items[i].c_str());
            g_warning("deleting: %s, r=%d", items[i].c_str(), ri[i]);
        }
        for (size_t i = 0; i < dirs.size(); i++) {
            rd[i] = pelmora_lib_delete_dir(url.c_str(), dirs[i].c_str());
            g_warning("deleting: %s, r=%d", dirs[i].c_str(), rd[i]);
        }
        for (size_t i = 0; i < subs.size(); i++) {
            rs[i] = pelmora_lib_delete_subclip(url.c_str(), subs[i].first.c_str(), subs[i].second);
            g_warning("%s: pelmora_lib_delete_subclip(%s, %d)=%d", "library_delete_items_srv", subs[i].first.c_str(),
                      subs[i].second, rs[i]);
        }
        return 0;
    });
    std::vector<std::string> failed;
    for (size_t i = 0; i < items.size(); i++)
        if (ri[i] < 0)
            failed.push_back(failure(LIB_("Deleting"), items[i].c_str(), ri[i]));
    for (size_t i = 0; i < dirs.size(); i++) {
        /* The journal reports a folder gone only as gone; its open row
         * would keep its children, so it goes now. */
        if (rd[i] == 0)
            library_drop_item(lib, dirs[i].c_str());
        else if (rd[i] < 0)
            failed.push_back(failure(LIB_("Deleting"), dirs[i].c_str(), rd[i]));
    }
    for (size_t i = 0; i < subs.size(); i++) {
        if (rs[i] < 0) {
            char what[300];
            snprintf(what, sizeof what, "%s #%d", subs[i].first.c_str(), subs[i].second);
            failed.push_back(failure(LIB_("Deleting the subclip"), what, rs[i]));
        }
        if (i + 1 == subs.size() || subs[i + 1].first != subs[i].first)
            library_ui_reopen_item(lib, subs[i].first.c_str());
    }
    tell(lib, failed);
    return TRUE;
}

void library_ops_release(library_t *lib)
{
    if (!lib || !lib->select_item_dialog.ctx)
        return;
    auto *d = static_cast<library_ui_select_item_dialog_t *>(lib->select_item_dialog.ctx);
    library_ui_select_item_dialog_destroy(&d);
    lib->select_item_dialog.ctx = nullptr;
}
