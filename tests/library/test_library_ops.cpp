// The library pane against pelmora-sim with the real window, driven from the
// keyboard: creating, renaming, moving and deleting show on disk in the
// simulator's media folder and come back into the open tree through the
// journal; names with a slash or a quote are cleaned; a folder that cannot
// be deleted keeps its row and the pane says why; subclips go highest
// position first; a search opens up to its hit; the capacity gauge and the
// subclip entry's refusals.
#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>
#include <sys/stat.h>

#include "lib_console.h"
#include "library_capacity.h"
#include "library_select.h"
#include "library_subclip.h"
#include "library_ui.h"
#include "pelmora_lib.h"
#include "strl.h"

namespace {

bool is_dir(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

class LibraryOps : public LibConsoleTest
{
  protected:
    void SetUp() override
    {
        LibConsoleTest::SetUp();
        if (IsSkipped())
            return;
        start_all(1, {{ops_event_line("00:00:10:00", "x", "A0")}});
        library_ui_showhide(lib(), 1);
    }
    /* A key typed in the window while `w` (default: the tree) has the
     * focus: the window hands it to the focus widget, then to its own keys
     * (Space and Enter activate the focus widget). */
    void key(guint k, GtkWidget *w = nullptr)
    {
        gtk_widget_grab_focus(w ? w : GTK_WIDGET(tree()));
        GdkEvent *ev = gdk_event_new(GDK_KEY_PRESS);
        ev->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(e.app->window)));
        ev->key.send_event = TRUE;
        ev->key.keyval = k;
        ev->key.string = g_strdup("");
        /* Key bindings are matched by the key's code. */
        GdkKeymapKey *keys = nullptr;
        gint n = 0;
        if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_default(), k, &keys, &n) && n > 0)
            ev->key.hardware_keycode = (guint16)keys[0].keycode;
        g_free(keys);
        gtk_main_do_event(ev);
        gdk_event_free(ev);
        engine_run_for(100);
    }
    /* The name question: type `name`, press OK. */
    void answer_name(ops_dialogs &d, const char *name)
    {
        d.then([name](GtkWidget *dlg) {
            gtk_entry_set_text(GTK_ENTRY(g_object_get_data(G_OBJECT(dlg), "entry")), name);
            gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
            return true;
        });
    }
    bool has_row(const std::string &p)
    {
        GtkTreeIter it;
        return row(0, p, &it);
    }
};

TEST_F(LibraryOps, EveryOperationShowsOnDiskAndComesBackThroughTheJournal)
{
    ops_dialogs d;
    ASSERT_TRUE(open_path(0, "/news"));

    /* F7 on a folder: a new folder inside it; the slash becomes "_". */
    select_rows(0, {"/news"});
    answer_name(d, "a/b");
    key(GDK_KEY_F7);
    EXPECT_TRUE(is_dir(root + "/news/a_b"));
    EXPECT_TRUE(engine_run_until([&] { return has_row("/news/a_b"); }, 5000));

    /* F2: renamed, the quote cleaned; the old row goes, the new one comes. */
    select_rows(0, {"/news/a_b"});
    answer_name(d, "c\"d");
    key(GDK_KEY_F2);
    EXPECT_TRUE(is_dir(root + "/news/c_d"));
    EXPECT_FALSE(exists(root + "/news/a_b"));
    EXPECT_TRUE(engine_run_until([&] { return has_row("/news/c_d") && !has_row("/news/a_b"); }, 5000));

    /* Move from its button, pressed with Space: the destination chosen in
     * the select-item dialog. */
    select_rows(0, {"/news/opener.mov"});
    d.then([this](GtkWidget *dlg) {
        auto *ctx = static_cast<library_ui_select_item_dialog_t *>(lib()->select_item_dialog.ctx);
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dlg)), "Select PATH");
        EXPECT_EQ(0, library_select_item_wait(&ctx->lib, "/news/c_d", 5000));
        gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
        return true;
    });
    GtkWidget *move = lib()->ui[LIBRARY_UI_BUTTON_MOVE_ITEMS];
    ASSERT_TRUE(gtk_widget_get_can_focus(move));
    key(GDK_KEY_space, move);
    EXPECT_TRUE(engine_run_until([&] { return exists(root + "/news/c_d/opener.mov"); }, 5000));
    EXPECT_FALSE(exists(root + "/news/opener.mov"));
    EXPECT_TRUE(engine_run_until([&] { return !has_row("/news/opener.mov"); }, 5000));
    EXPECT_STREQ(lib()->select_item_dialog.path, "/news/c_d");

    /* A folder that is not empty cannot go: its row stays, the pane says so. */
    select_rows(0, {"/news/c_d"});
    d.respond(GTK_RESPONSE_OK);
    key(GDK_KEY_F8);
    engine_run_for(600);
    EXPECT_TRUE(is_dir(root + "/news/c_d"));
    EXPECT_TRUE(has_row("/news/c_d"));
    EXPECT_NE(std::string(library_ui_notice_text(lib())).find("/news/c_d"), std::string::npos)
        << library_ui_notice_text(lib());

    /* Its item and then itself: both gone, the folder's row at once. */
    ASSERT_TRUE(open_path(0, "/news/c_d"));
    select_rows(0, {"/news/c_d", "/news/c_d/opener.mov"});
    d.respond(GTK_RESPONSE_OK);
    key(GDK_KEY_F8);
    EXPECT_FALSE(exists(root + "/news/c_d"));
    EXPECT_FALSE(has_row("/news/c_d"));

    /* One item selected: the new folder goes beside it. An item and a
     * folder together: nothing is asked. */
    ASSERT_TRUE(open_path(0, "/promos"));
    select_rows(0, {"/promos/spring_promo.mov"});
    answer_name(d, "beside");
    key(GDK_KEY_F7);
    EXPECT_TRUE(is_dir(root + "/promos/beside"));
    select_rows(0, {"/news", "/promos/spring_promo.mov"});
    key(GDK_KEY_F7);
    key(GDK_KEY_F2);
    engine_run_for(300);
    EXPECT_EQ(d.pending(), 0u);
    EXPECT_EQ(d.unexpected, 0);

    /* Enter opens and closes a folder; folding the pane keeps open rows. */
    GtkTreeIter it;
    ASSERT_TRUE(row(0, "/promos", &it));
    GtkTreePath *p = gtk_tree_model_get_path(gtk_tree_view_get_model(tree()), &it);
    gtk_tree_view_set_cursor(tree(), p, nullptr, FALSE);
    key(GDK_KEY_Return);
    EXPECT_FALSE(gtk_tree_view_row_expanded(tree(), p));
    key(GDK_KEY_Return);
    EXPECT_TRUE(gtk_tree_view_row_expanded(tree(), p));
    library_ui_showhide(lib(), 0);
    library_ui_showhide(lib(), 1);
    EXPECT_TRUE(gtk_tree_view_row_expanded(tree(), p));
    gtk_tree_path_free(p);
}

TEST_F(LibraryOps, SubclipsGoHighestPositionFirstAndTheItemIsReadAgain)
{
    const char *item = "/promos/spring_promo.mov";
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(0, pelmora_lib_register_subclip(lib()->url, item, i * 10, 10, ("s" + std::to_string(i)).c_str()));
    ASSERT_TRUE(open_path(0, item));
    select_rows(0, {"/promos/spring_promo.mov#s1", "/promos/spring_promo.mov#s3", "/promos/spring_promo.mov#s2"});
    ops_dialogs d;
    d.respond(GTK_RESPONSE_OK);
    gtk_button_clicked(GTK_BUTTON(lib()->ui[LIBRARY_UI_BUTTON_DELETE_ITEMS]));
    /* Deleted in the order given, positions would have shifted under the
     * later ones and other subclips would have gone. */
    pelmora_lib_subclip_t **subs = nullptr;
    int n = pelmora_lib_list_subclips(lib()->url, item, &subs, nullptr);
    ASSERT_EQ(n, 2);
    EXPECT_STREQ(subs[0]->title, "s0");
    EXPECT_STREQ(subs[1]->title, "s4");
    pelmora_lib_list_subclips_free(&subs);
    /* The tree reads them again (the journal's reload of the folder may
     * close the item meanwhile: it is opened once more). */
    EXPECT_TRUE(engine_run_until(
        [&] {
            open_path(0, item, 200);
            return has_row("/promos/spring_promo.mov#s4") && !has_row("/promos/spring_promo.mov#s2");
        },
        8000));
}

TEST_F(LibraryOps, SearchCapacityGaugeAndSubclipEntryRefusals)
{
    /* A hit inside a closed folder is opened up to and selected. */
    gtk_entry_set_text(GTK_ENTRY(lib()->ui[LIBRARY_UI_SEARCH]), "spring");
    gtk_button_clicked(GTK_BUTTON(lib()->ui[LIBRARY_UI_BUTTON_FIND]));
    int n = 0;
    pelmora_lib_item_t *hit = library_get_selected_items(lib(), &n);
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(hit[0].full, "/promos/spring_promo.mov");
    free(hit);
    gtk_entry_set_text(GTK_ENTRY(lib()->ui[LIBRARY_UI_SEARCH]), "no_such_clip");
    gtk_button_clicked(GTK_BUTTON(lib()->ui[LIBRARY_UI_BUTTON_FIND]));
    EXPECT_NE(std::string(library_ui_notice_text(lib())).find("no_such_clip"), std::string::npos);

    pelmora_lib_state_t *st = nullptr;
    ASSERT_GE(pelmora_lib_state(lib()->url, 0, &st), 0);
    int cap = (int)(100 - st->free_space * 100 / st->total_space);
    free(st);
    EXPECT_TRUE(engine_run_until([&] { return std::abs(library_ui_capacity_cell(lib()) - cap) <= 1; }, 3000))
        << library_ui_capacity_cell(lib()) << " vs " << cap;
    library_ui_set_capacity(lib(), 150);
    EXPECT_EQ(library_ui_capacity_cell(lib()), 99);
    library_ui_set_capacity(lib(), -3);
    EXPECT_EQ(library_ui_capacity_cell(lib()), 0);
    char fg[32], fp[32], tg[32], items[32];
    library_capacity_texts(0, 0, 3, fg, fp, tg, items);
    EXPECT_STREQ(fp, "");
    library_capacity_texts(1LL << 30, 4LL << 30, 3, fg, fp, tg, items);
    EXPECT_STREQ(fg, "1.000");
    EXPECT_STREQ(fp, "25.000");

    ASSERT_TRUE(open_path(0, "/promos"));
    ASSERT_TRUE(open_path(0, "/news"));
    GtkWidget *sub = lib()->ui[LIBRARY_UI_BUTTON_SUBCLIP_DLG];
    select_rows(0, {"/promos/spring_promo.mov", "/news/opener.mov"});
    EXPECT_FALSE(gtk_widget_get_sensitive(sub));
    select_rows(0, {"/news/opener.mov"});
    EXPECT_TRUE(gtk_widget_get_sensitive(sub));

    ops_dialogs d;
    d.respond(GTK_RESPONSE_OK);
    EXPECT_EQ(library_subclip_dialog(lib()), -22);
    strlcpy(lib()->preview_io_host, "127.0.0.1:1", sizeof lib()->preview_io_host);
    select_rows(0, {"/news"});
    d.respond(GTK_RESPONSE_OK);
    EXPECT_EQ(library_subclip_dialog(lib()), -2);
    /* One clip, and a preview server that does not answer: said, no editor. */
    select_rows(0, {"/news/opener.mov"});
    d.respond(GTK_RESPONSE_OK);
    EXPECT_LT(library_subclip_dialog(lib()), 0);
    ASSERT_EQ(d.seen.size(), 3u);
    EXPECT_EQ(d.seen[0].title, "NO WAY TO PREVIEW");
    EXPECT_EQ(d.seen[1].title, "NOT SINGLE ITEM SELECTION");
    EXPECT_EQ(d.seen[2].title, "/news/opener.mov");
    EXPECT_EQ(d.seen[2].text, "pelmora_lib_meta_item failed");
    lib()->preview_io_host[0] = 0;
}

} // namespace
