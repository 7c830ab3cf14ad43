/* Media id completion: each change of the entry starts the searches of the
 * typed name on a worker (one at a time per entry; text typed meanwhile is
 * searched when the worker is done), and the list it finds replaces the
 * completion's rows on the main loop, unless the text moved on since. */
#include "ui_bus_media_completition.h"

#include <string.h>

#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "pelmora_lib.h"
#include "strl.h"

namespace {

/* Lives as long as the entry or a worker still needs it. */
struct completion_run
{
    ui_bus_media_completition_entry_t *ctx = nullptr; /* null once the entry is gone */
    bool running = false;
    std::string want; /* text to search next; empty: nothing */
    unsigned gen = 0; /* bumped per change: older lists are dropped */
};

struct completion_result
{
    std::shared_ptr<completion_run> run;
    unsigned gen;
    std::vector<std::string> rows;
};

using run_ptr = std::shared_ptr<completion_run>;

void start(const run_ptr &run);

/* Worker: the searches of typed in folder. */
std::vector<std::string> search(const std::string &url, const std::string &folder, const std::string &typed)
{
    std::vector<std::string> rows;
    char key[600], dst[260];
    snprintf(key, sizeof key, "%s:%s/", typed.c_str(), folder.c_str());
    for (int i = 0; i < MEDIA_COMPLETITION_SEARCHES; i++) {
        dst[0] = 0;
        int r = pelmora_lib_search_item(url.c_str(), i, nullptr, key, dst);
        g_warning("%s: pelmora_lib_search_item(%s)=%d", "ui_bus_media_completition_changed", key, r);
        if (r < 0)
            break;
        std::string row = folder + "/" + dst;
        bool seen = false;
        for (const std::string &s : rows)
            seen = seen || s == row;
        if (!seen && dst[0] && g_utf8_validate(row.c_str(), -1, nullptr))
            rows.push_back(row);
    }
    rows.push_back(folder + "/" + typed + "#");
    return rows;
}

gboolean deliver(gpointer data)
{
    std::unique_ptr<completion_result> res(static_cast<completion_result *>(data));
    completion_run *run = res->run.get();
    run->running = false;
    ui_bus_media_completition_entry_t *ctx = run->ctx;
    if (!ctx)
        return FALSE;
    if (res->gen == run->gen) {
        GtkListStore *store = gtk_list_store_new(1, G_TYPE_STRING);
        for (const std::string &row : res->rows) {
            GtkTreeIter it;
            gtk_list_store_append(store, &it);
            gtk_list_store_set(store, &it, 0, row.c_str(), -1);
        }
        if (res->rows.size() > 1)
            strlcpy(ctx->dst, res->rows[res->rows.size() - 2].c_str(), sizeof ctx->dst);
        gtk_entry_completion_set_model(ctx->completition, GTK_TREE_MODEL(store));
        g_object_unref(store);
        if (gtk_widget_has_focus(ctx->entry))
            gtk_entry_completion_complete(ctx->completition);
    }
    if (!run->want.empty())
        start(res->run);
    return FALSE;
}

void start(const run_ptr &run)
{
    ui_bus_media_completition_entry_t *ctx = run->ctx;
    if (!ctx || run->running || run->want.empty())
        return;
    std::string typed = run->want;
    run->want.clear();
    run->running = true;
    std::string url = ctx->bus->lib.url, folder = ctx->bus->media_completition;
    unsigned gen = run->gen;
    try {
        std::thread([run, url, folder, typed, gen] {
            auto *res = new completion_result{run, gen, search(url, folder, typed)};
            gdk_threads_add_idle(deliver, res);
        }).detach();
    } catch (const std::system_error &) {
        g_warning("%s: no thread for the search of [%s]", "ui_bus_media_completition_changed", typed.c_str());
        run->running = false;
    }
}

void changed(GtkEditable *editable, gpointer user_data)
{
    auto *ctx = static_cast<ui_bus_media_completition_entry_t *>(user_data);
    auto *run = static_cast<run_ptr *>(ctx->run);
    const char *text = gtk_entry_get_text(GTK_ENTRY(editable));
    const char *slash = strrchr(text, '/');
    strlcpy(ctx->tmp, slash ? slash + 1 : text, sizeof ctx->tmp);
    g_warning("%s: [%s]", "ui_bus_media_completition_changed", ctx->tmp);
    (*run)->gen++;
    if (!ctx->tmp[0]) {
        (*run)->want.clear();
        gtk_entry_completion_set_model(ctx->completition, nullptr);
        return;
    }
    (*run)->want = ctx->tmp;
    start(*run);
}

gboolean match_all(GtkEntryCompletion *, const gchar *, GtkTreeIter *, gpointer)
{
    return TRUE;
}

void release(gpointer data)
{
    auto *ctx = static_cast<ui_bus_media_completition_entry_t *>(data);
    auto *run = static_cast<run_ptr *>(ctx->run);
    (*run)->ctx = nullptr;
    delete run;
    if (ctx->completition)
        g_object_unref(ctx->completition);
    g_free(ctx);
}

} // namespace

int ui_bus_media_completition_attach(bus_t *bus, GtkWidget *entry, pelmorabox_event_t *pe)
{
    (void)pe;
    if (!bus || !entry || !GTK_IS_ENTRY(entry))
        return -22;
    if (!bus->media_completition[0])
        return 0;
    auto *ctx = static_cast<ui_bus_media_completition_entry_t *>(g_malloc0(sizeof(ui_bus_media_completition_entry_t)));
    ctx->bus = bus;
    ctx->entry = entry;
    auto *run = new run_ptr(std::make_shared<completion_run>());
    (*run)->ctx = ctx;
    ctx->run = run;
    ctx->completition = gtk_entry_completion_new();
    gtk_entry_completion_set_text_column(ctx->completition, 0);
    gtk_entry_completion_set_match_func(ctx->completition, match_all, nullptr, nullptr);
    gtk_entry_set_completion(GTK_ENTRY(entry), ctx->completition);
    g_object_set_data_full(G_OBJECT(entry), "ui_bus_media_completition_entry_t", ctx, release);
    g_signal_connect(entry, "changed", G_CALLBACK(changed), ctx);
    return 0;
}

int ui_bus_media_completition_busy(GtkWidget *entry)
{
    auto *ctx = entry ? static_cast<ui_bus_media_completition_entry_t *>(
                            g_object_get_data(G_OBJECT(entry), "ui_bus_media_completition_entry_t"))
                      : nullptr;
    if (!ctx)
        return 0;
    const run_ptr &run = *static_cast<run_ptr *>(ctx->run);
    return run->running || !run->want.empty() ? 1 : 0;
}
