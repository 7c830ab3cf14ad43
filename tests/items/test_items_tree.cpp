// The metadata tree on its own (decoding and encoding the template scheme,
// direction, Delete) and the media id completion against a small library
// server that records the searches it is asked.
#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "engine_support.h"
#include "instance.h"
#include "items_support.h"
#include "test_xmlrpc_server.h"
#include "ui_bus_media_completition.h"
#include "ui_bus_meta_tree.h"

namespace {

class ItemsTree : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
        win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    }
    void TearDown() override
    {
        if (win) {
            if (ctx.store)
                ui_bus_meta_tree_destroy(&ctx);
            gtk_widget_destroy(win);
        }
    }
    /* The tree over a new event with these assets and pairs. */
    void show(const char *assets, std::vector<std::pair<const char *, const char *>> pairs)
    {
        if (!ctx.sw) {
            gtk_container_add(GTK_CONTAINER(win), ui_bus_meta_tree_create(&ctx));
            gtk_widget_show_all(win);
        }
        pelmorabox_event_t *e = pelmorabox_event_create();
        strcpy(e->assets, assets);
        for (auto &p : pairs)
            pelmorabox_event_add_meta(e, p.first, p.second);
        ui_bus_meta_tree_set(&ctx, e);
        pelmorabox_event_destroy(&e);
    }
    /* Encodes the tree into a new event: its assets and "key=value" pairs. */
    std::string encoded(std::vector<std::string> *pairs = nullptr)
    {
        pelmorabox_event_t *e = pelmorabox_event_create();
        pelmorabox_event_add_meta(e, "stale", "pair");
        ui_bus_meta_tree_get(&ctx, &e);
        std::string assets = e->assets;
        for (int i = 0; pairs && i < e->metadata_cnt; i++)
            pairs->push_back(std::string(e->metadata_pairs[i].key) + "=" + e->metadata_pairs[i].val);
        pelmorabox_event_destroy(&e);
        return assets;
    }
    void select(const char *path)
    {
        GtkTreePath *p = gtk_tree_path_new_from_string(path);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(ctx.gr)), p);
        gtk_tree_path_free(p);
    }
    std::string root_value()
    {
        GtkTreeIter it;
        gchar *v = nullptr;
        gtk_tree_model_get_iter_first(ctx.model, &it);
        gtk_tree_model_get(ctx.model, &it, METATREE_COLUMN_VALUE, &v, -1);
        std::string s = v ? v : "";
        g_free(v);
        return s;
    }
    GtkWidget *win = nullptr;
    ui_bus_meta_tree_t ctx = {};
};

TEST_F(ItemsTree, DirectionAndDeletingTheOnlyTemplate)
{
    show("+A", {{"v@A#0", "1"}});
    EXPECT_EQ(root_value(), "+append");
    EXPECT_EQ(encoded(), "+A");
    select("0");
    /* No library: the template submenu is empty, the direction still works. */
    GtkWidget *menu = ui_bus_meta_tree_menu(&ctx);
    ASSERT_TRUE(menu);
    EXPECT_TRUE(items_menu_activate(menu, "Prepend", "Set direction"));
    EXPECT_EQ(root_value(), "prepend+");
    EXPECT_EQ(encoded(), "A+");
    /* Delete on a root row does nothing; on the template removes it with its
     * variable, and no direction survives without a template. */
    EXPECT_TRUE(items_key(ctx.gr, GDK_KEY_Delete));
    EXPECT_EQ(items_tree_rows(ctx.model, "0").size(), 1u);
    select("0:0");
    EXPECT_TRUE(items_key(ctx.gr, GDK_KEY_Delete));
    std::vector<std::string> pairs;
    EXPECT_EQ(encoded(&pairs), "");
    EXPECT_TRUE(pairs.empty()) << testing::PrintToString(pairs);

    /* Empty assets open as append; a long value comes back whole. */
    std::string long_value(3000, 'v');
    show("", {{"g", long_value.c_str()}});
    EXPECT_EQ(root_value(), "+append");
    pairs.clear();
    EXPECT_EQ(encoded(&pairs), "");
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0], "g=" + long_value);
}

TEST_F(ItemsTree, MediaIdCompletionSearchesTheFolderAndAlwaysOffersTheTypedName)
{
    std::atomic<bool> refuse{false};
    test_xmlrpc_server lib([&](xmlrpc_env *env, const std::string &method, xmlrpc_value *params) -> xmlrpc_value * {
        if (method != "PelmoraLib.LibSearchItem" || refuse)
            return xmlrpc_build_value(env, "{s:i}", "result", -5);
        xmlrpc_int32 idx = 0;
        const char *start = nullptr, *key = nullptr;
        xmlrpc_decompose_value(env, params, "(iss)", &idx, &start, &key);
        free((void *)start);
        free((void *)key);
        if (idx > 1)
            return xmlrpc_build_value(env, "{s:i}", "result", -2);
        return xmlrpc_build_value(env, "{s:i,s:s}", "result", idx + 10, "item", idx ? "news_b" : "news_a");
    });
    auto *bus = static_cast<bus_t *>(calloc(1, sizeof(bus_t)));
    strcpy(bus->lib.url, lib.url().c_str());
    strcpy(bus->media_completition, "promo");
    GtkWidget *entry = gtk_entry_new();
    gtk_container_add(GTK_CONTAINER(win), entry);
    gtk_widget_show_all(win);
    ASSERT_EQ(ui_bus_media_completition_attach(bus, entry, nullptr), 0);
    GtkEntryCompletion *comp = gtk_entry_get_completion(GTK_ENTRY(entry));
    ASSERT_TRUE(comp);
    auto rows = [&] {
        std::vector<std::string> out;
        GtkTreeModel *m = gtk_entry_completion_get_model(comp);
        GtkTreeIter it;
        for (bool ok = m && gtk_tree_model_get_iter_first(m, &it); ok; ok = gtk_tree_model_iter_next(m, &it)) {
            gchar *t = nullptr;
            gtk_tree_model_get(m, &it, 0, &t, -1);
            out.push_back(t ? t : "");
            g_free(t);
        }
        return out;
    };
    auto settle = [&] {
        EXPECT_TRUE(engine_run_until([&] { return !ui_bus_media_completition_busy(entry); }, 5000));
        engine_run_for(50);
    };

    gtk_entry_set_text(GTK_ENTRY(entry), "clips/news");
    settle();
    EXPECT_EQ(rows(), (std::vector<std::string>{"promo/news_a", "promo/news_b", "promo/news#"}));
    std::vector<test_xmlrpc_call> got = lib.calls();
    ASSERT_EQ(got.size(), 3u) << "the third search found nothing and ended the list";
    for (size_t i = 0; i < got.size(); i++) {
        xmlrpc_env env;
        xmlrpc_env_init(&env);
        xmlrpc_int32 idx = -1;
        const char *start = nullptr, *key = nullptr;
        xmlrpc_decompose_value(&env, got[i].params.get(), "(iss)", &idx, &start, &key);
        ASSERT_FALSE(env.fault_occurred);
        EXPECT_EQ(idx, (int)i);
        EXPECT_STREQ(key, "news:promo/");
        free((void *)start);
        free((void *)key);
        xmlrpc_env_clean(&env);
    }

    /* Nothing after the last '/': no list. A refusing server: only the typed
     * name is offered. */
    gtk_entry_set_text(GTK_ENTRY(entry), "clips/");
    settle();
    EXPECT_TRUE(rows().empty());
    refuse = true;
    gtk_entry_set_text(GTK_ENTRY(entry), "weather");
    settle();
    EXPECT_EQ(rows(), (std::vector<std::string>{"promo/weather#"}));
    gtk_widget_destroy(entry);
    free(bus);
}

} // namespace
