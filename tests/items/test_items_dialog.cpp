// Adding and editing events from the bus panel against pelmora-sim: what the
// server stores and the grid shows, refusals said inside a dialog that keeps
// the operator's input, the keyboard, the metadata tree with the library's
// templates, the audio editors, and the properties dialog.
#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>

#include <fstream>
#include <set>

#include "bus.h"
#include "items_support.h"
#include "ops_support.h"
#include "settings/settings-amap.h"
#include "ui_bus.h"
#include "ui_bus_item_dialog.h"

namespace {

std::vector<std::string> clips(int n)
{
    std::vector<std::string> l;
    for (int i = 1; i <= n; i++) {
        char media[64], title[32];
        snprintf(media, sizeof media, "demo/clip%03d.mxf", i);
        snprintf(title, sizeof title, "C%d", i);
        l.push_back(ops_event_line("00:00:10:00", media, title));
    }
    return l;
}

ui_bus_item_dialog_t *item(GtkWidget *dlg)
{
    return static_cast<ui_bus_item_dialog_t *>(g_object_get_data(G_OBJECT(dlg), "ui_bus_item_dialog_t"));
}

void put(ui_bus_item_dialog_t *c, int slot, const char *text)
{
    gtk_entry_set_text(GTK_ENTRY(c->entry[slot]), text);
}

std::string text(ui_bus_item_dialog_t *c, int slot)
{
    return gtk_entry_get_text(GTK_ENTRY(c->entry[slot]));
}

std::string status(ui_bus_item_dialog_t *c)
{
    return gtk_label_get_text(GTK_LABEL(c->status));
}

bool active(GtkWidget *toggle)
{
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(toggle));
}

/* Starts editing a cell of the metadata tree in place and commits text. */
void edit_cell(GtkWidget *dlg, ui_bus_item_dialog_t *c, const char *path, int column, const char *value,
               bool expect_tc = false)
{
    GtkTreePath *p = gtk_tree_path_new_from_string(path);
    gtk_tree_view_set_cursor(GTK_TREE_VIEW(c->tree->gr), p,
                             gtk_tree_view_get_column(GTK_TREE_VIEW(c->tree->gr), column), TRUE);
    gtk_tree_path_free(p);
    GtkWidget *ed = gtk_window_get_focus(GTK_WINDOW(dlg));
    ASSERT_TRUE(ed && GTK_IS_ENTRY(ed)) << "no editing entry at " << path;
    EXPECT_EQ(g_object_get_data(G_OBJECT(ed), "tc_completition_t") != nullptr, expect_tc) << path;
    gtk_entry_set_text(GTK_ENTRY(ed), value);
    items_key(ed, GDK_KEY_Return);
}

GtkWidget *tree_menu(ui_bus_item_dialog_t *c, const char *path)
{
    GtkTreePath *p = gtk_tree_path_new_from_string(path);
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(c->tree->gr));
    gtk_tree_selection_unselect_all(sel);
    gtk_tree_selection_select_path(sel, p);
    gtk_tree_path_free(p);
    return ui_bus_meta_tree_menu(c->tree);
}

class Items : public OpsTest
{
  protected:
    void run(std::vector<std::string> list, std::vector<std::string> sim_extra = {},
             std::vector<std::string> bus_extra = {}, const char *templates = nullptr)
    {
        data = engine_data_dir({{"main", list}});
        if (templates)
            std::ofstream(data + "/templates") << templates;
        std::vector<std::string> args = {"--playlist", "main"};
        args.insert(args.end(), sim_extra.begin(), sim_extra.end());
        start_sim(args);
        std::vector<std::string> console = engine_bus_args(sim.hostport, 1);
        if (templates) {
            std::lock_guard<std::mutex> g(sim.lock);
            for (const std::string &l : sim.lines)
                if (l.compare(0, 13, "library port ") == 0)
                    console.push_back("--lib=127.0.0.1:" + l.substr(13));
        }
        console.insert(console.end(), bus_extra.begin(), bus_extra.end());
        ASSERT_TRUE(e.create(console));
        e.start();
        ASSERT_TRUE(wait_filled(bus(), (int)list.size()));
    }
};

TEST_F(Items, AddingSendsInsertEventAndTheNewRowShowsIt)
{
    run(clips(3));
    bus_t *b = bus();
    ops_select_rows(b, {1});
    size_t m = mark();
    items_script s;
    std::string refused;
    s.then([&] {
        GtkWidget *d = items_dialog("Playlist item");
        GtkAllocation a = {0, 0, 0, 0};
        if (d)
            gtk_widget_get_allocation(item(d)->entry[ITEM_ENTRY_TAG], &a);
        /* Tab follows the laid-out positions, and the tree passes it on only
         * in the window that has the keyboard: wait for both. */
        if (!d || a.height <= 1)
            return false;
        if (!gtk_window_has_toplevel_focus(GTK_WINDOW(d))) {
            /* No window manager hands it over here: as one would. */
            GdkEvent *fe = gdk_event_new(GDK_FOCUS_CHANGE);
            fe->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(d)));
            fe->focus_change.send_event = TRUE;
            fe->focus_change.in = TRUE;
            gtk_widget_event(d, fe);
            gdk_event_free(fe);
            return false;
        }
        ui_bus_item_dialog_t *c = item(d);
        /* Tab reaches every field, the radios, both editor buttons and the
         * tree; Enter in any field accepts. */
        std::set<GtkWidget *> reached;
        gtk_widget_grab_focus(c->ms[0]);
        for (int i = 0; i < 80; i++) {
            gtk_widget_child_focus(d, GTK_DIR_TAB_FORWARD);
            reached.insert(gtk_window_get_focus(GTK_WINDOW(d)));
        }
        for (int slot = 0; slot < 14; slot++) {
            if (c->entry[slot]) {
                EXPECT_TRUE(reached.count(c->entry[slot])) << "entry " << slot << " not reached with Tab";
            }
        }
        for (GtkWidget *w : {c->btn_amap, c->btn_aamp, c->tree->gr, c->ms[0]})
            EXPECT_TRUE(reached.count(w)) << G_OBJECT_TYPE_NAME(w) << " not reached with Tab";
        EXPECT_TRUE(active(c->ms[0])) << "a new event starts as FOLLOW";
        put(c, ITEM_ENTRY_MARK_IN, "00:00:01:00");
        put(c, ITEM_ENTRY_MARK_OUT, "00:00:04:24");
        put(c, ITEM_ENTRY_DURATION, "00:00:04:00");
        put(c, ITEM_ENTRY_MEDIA_TYPE, "V");
        put(c, ITEM_ENTRY_TITLE, "Added\ttab");
        put(c, ITEM_ENTRY_AR, "16:9");
        put(c, ITEM_ENTRY_TAG, "t1");
        /* No media id yet: Enter keeps the dialog open. */
        items_key(c->entry[ITEM_ENTRY_TITLE], GDK_KEY_Return);
        return true;
    });
    s.then([&] {
        GtkWidget *d = items_dialog("Playlist item");
        if (!d || status(item(d)).empty())
            return false;
        ui_bus_item_dialog_t *c = item(d);
        refused = status(c);
        EXPECT_EQ(text(c, ITEM_ENTRY_TITLE), "Addedtab") << "a tab would split the event line";
        EXPECT_EQ(text(c, ITEM_ENTRY_DURATION), "00:00:04:00");
        put(c, ITEM_ENTRY_MEDIA_ID, "demo/clip007.mxf");
        items_key(c->entry[ITEM_ENTRY_MEDIA_ID], GDK_KEY_Return);
        return true;
    });
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_Insert));
    EXPECT_TRUE(s.done());
    EXPECT_NE(refused.find("MEDIA ID"), std::string::npos) << refused;
    EXPECT_EQ(calls("PelmoraBox.InsertEvent", 0, m), 1);
    EXPECT_TRUE(wait_titles(b, {"C1", "Addedtab", "C2", "C3"})) << testing::PrintToString(titles(b));

    pelmorabox_event_t *got = items_server_event(sim.url, 1);
    ASSERT_TRUE(got);
    std::vector<std::string> f = items_fields(got);
    ASSERT_EQ(f.size(), 15u);
    EXPECT_EQ(f[1], " ") << "FOLLOW is stored as a blank";
    EXPECT_EQ(f[2], "00:00:01:00");
    EXPECT_EQ(f[3], "00:00:04:24");
    EXPECT_EQ(f[4], "00:00:04:00");
    EXPECT_EQ(f[5], "V");
    EXPECT_EQ(f[6], "demo/clip007.mxf");
    EXPECT_EQ(f[10], "t1");
    EXPECT_EQ(f[14], "16:9");
    pelmorabox_event_destroy(&got);
    GdkPixbuf *icon = nullptr;
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(b->grid));
    GtkTreeIter it;
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(model, &it, nullptr, 1));
    gtk_tree_model_get(model, &it, BUS_COLUMN_START_TYPE_ICON, &icon, -1);
    EXPECT_EQ(icon, get_start_type_pixbuf_by_idx(0)) << "the grid shows the follow icon";
    if (icon)
        g_object_unref(icon);
}

TEST_F(Items, EditingSendsUpdateOfThatEventAndOnlyTheChangedFieldsDiffer)
{
    std::string line = items_line([](pelmorabox_event_t *e) {
        e->start_type = 'M';
        strcpy(e->mark_in, "00:00:00:10");
        strcpy(e->mark_out, "00:00:05:09");
        strcpy(e->duration, "00:00:05:00");
        e->event_type = 'V';
        strcpy(e->media_id, "demo/clip002.mxf");
        strcpy(e->title, "Orig");
        strcpy(e->assets, "A+B+A");
        strcpy(e->tag, "tg");
        strcpy(e->audio_map, "01234567");
        strcpy(e->audio_amp, "-3.5dB");
        strcpy(e->ar, "4:3");
        pelmorabox_event_add_meta(e, "title@B#0", "x");
        pelmorabox_event_add_meta(e, "in@A#1", "25");
        pelmorabox_event_add_meta(e, "x@C#0", "y");
        pelmorabox_event_add_meta(e, "g", "1");
        pelmorabox_event_add_meta(e, "@A#0x", "odd");
    });
    std::vector<std::string> list = clips(3);
    list[1] = line;
    run(list);
    bus_t *b = bus();
    pelmorabox_event_t *before = items_server_event(sim.url, 1);
    ASSERT_TRUE(before);
    ops_select_rows(b, {1});
    size_t m = mark();
    items_script s;
    /* Escape cancels without sending. */
    s.then([&] {
        GtkWidget *d = items_dialog("Playlist item");
        if (!d)
            return false;
        put(item(d), ITEM_ENTRY_TITLE, "Never sent");
        items_key(d, GDK_KEY_Escape);
        return true;
    });
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_e));
    EXPECT_TRUE(s.done());
    EXPECT_EQ(calls("PelmoraBox.UpdateEvent2", 0, m), 0);

    s.then([&] {
        GtkWidget *d = items_dialog("Playlist item");
        if (!d)
            return false;
        ui_bus_item_dialog_t *c = item(d);
        GtkTreeModel *tm = c->tree->model;
        EXPECT_EQ(items_tree_rows(tm, "0"), (std::vector<std::string>{"A=", "B=", "A="}));
        EXPECT_TRUE(items_tree_rows(tm, "0:0").empty());
        EXPECT_EQ(items_tree_rows(tm, "0:1"), (std::vector<std::string>{"title=x"}));
        EXPECT_EQ(items_tree_rows(tm, "0:2"), (std::vector<std::string>{"in=00:00:01:00"}));
        EXPECT_EQ(items_tree_rows(tm, "1"), (std::vector<std::string>{"x@C#0=y", "g=1", "@A#0x=odd"}))
            << "a template not in the assets, or a suffix not at the end, stays global";
        EXPECT_TRUE(active(c->ms[1])) << "MANUAL";
        EXPECT_EQ(text(c, ITEM_ENTRY_AUDIO_AMP), "-3.5dB");
        s.nested([&] { gtk_button_clicked(GTK_BUTTON(c->btn_aamp)); });
        EXPECT_EQ(text(c, ITEM_ENTRY_AUDIO_AMP), "2.0dB");
        put(c, ITEM_ENTRY_TITLE, "Edited");
        items_key(c->entry[ITEM_ENTRY_TITLE], GDK_KEY_KP_Enter);
        return true;
    });
    s.then([&] {
        GtkWidget *d = items_dialog("Audio Amp configuration");
        if (!d)
            return false;
        GtkWidget *scale = GTK_WIDGET(g_object_get_data(G_OBJECT(d), "ui_bus_item_dialog_aamp_scale"));
        EXPECT_DOUBLE_EQ(gtk_range_get_value(GTK_RANGE(scale)), -3.5);
        gtk_range_set_value(GTK_RANGE(scale), 2.0);
        gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
        return true;
    });
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_Return));
    EXPECT_TRUE(s.done());
    EXPECT_EQ(calls("PelmoraBox.UpdateEvent2", 0, m), 1);
    EXPECT_EQ(calls("PelmoraBox.InsertEvent", 0, m), 0);
    EXPECT_TRUE(wait_titles(b, {"C1", "Edited", "C3"})) << testing::PrintToString(titles(b));

    pelmorabox_event_t *after = items_server_event(sim.url, 1);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->sys_id, before->sys_id);
    std::vector<std::string> a = items_fields(before), z = items_fields(after);
    ASSERT_EQ(a.size(), z.size());
    for (size_t i = 1; i < a.size(); i++) {
        const std::string want = i == 7 ? "Edited" : i == 13 ? "2.0dB" : a[i];
        EXPECT_EQ(z[i], want) << "field " << i;
    }
    pelmorabox_event_destroy(&before);
    pelmorabox_event_destroy(&after);
}

TEST_F(Items, RefusedInsertAndUpdateKeepTheInputAndSayWhy)
{
    run(clips(2), {"--refuse=InsertEvent:1:-13", "--refuse=UpdateEvent2:1:-13"});
    bus_t *b = bus();
    size_t m = mark();
    items_script s;
    auto refused_then = [&](const char *title, bool resend) {
        return [&s, title, resend] {
            GtkWidget *d = items_dialog("Playlist item");
            if (!d || item(d)->busy || status(item(d)).find("-13") == std::string::npos)
                return false;
            ui_bus_item_dialog_t *c = item(d);
            EXPECT_EQ(text(c, ITEM_ENTRY_TITLE), title);
            EXPECT_EQ(text(c, ITEM_ENTRY_MEDIA_ID), "demo/clip009.mxf");
            EXPECT_EQ(text(c, ITEM_ENTRY_DURATION), "00:00:03:00");
            if (resend)
                items_key(c->entry[ITEM_ENTRY_TAG], GDK_KEY_Return);
            else
                items_key(d, GDK_KEY_Escape);
            return true;
        };
    };
    auto fill = [](const char *title) {
        return [title] {
            GtkWidget *d = items_dialog("Playlist item");
            if (!d)
                return false;
            put(item(d), ITEM_ENTRY_TITLE, title);
            put(item(d), ITEM_ENTRY_MEDIA_ID, "demo/clip009.mxf");
            put(item(d), ITEM_ENTRY_DURATION, "00:00:03:00");
            items_key(item(d)->entry[ITEM_ENTRY_TITLE], GDK_KEY_Return);
            return true;
        };
    };
    s.then(fill("Refused"));
    s.then(refused_then("Refused", false));
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_Insert));
    EXPECT_TRUE(s.done());
    EXPECT_EQ(calls("PelmoraBox.InsertEvent", 0, m), 1);
    EXPECT_NE(std::string(bus_ui_notice_text(b)).find("-13"), std::string::npos) << bus_ui_notice_text(b);
    engine_run_for(300);
    EXPECT_EQ(titles(b), (std::vector<std::string>{"C1", "C2"}));

    ops_select_rows(b, {0});
    s.then(fill("Second try"));
    s.then(refused_then("Second try", true));
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_e));
    EXPECT_TRUE(s.done());
    EXPECT_EQ(calls("PelmoraBox.UpdateEvent2", 0, m), 2);
    EXPECT_TRUE(wait_titles(b, {"Second try", "C2"})) << testing::PrintToString(titles(b));
}

TEST_F(Items, ImpossibleTimecodesAreRefusedInTheDialogAndNeverSent)
{
    std::vector<std::string> list = clips(3);
    list[1] = ops_event_line("00:00:10:00", "demo/clip002.mxf", "Edit me", 'M', "00:00:00:10", "00:00:09:09");
    run(list);
    bus_t *b = bus();
    ops_select_rows(b, {1});
    size_t m = mark();
    items_script s;
    int sent_while_refusing = -1;
    /* Each step waits for the dialog's message line to name the field at
     * fault, checks that field has the keyboard, then types the next
     * impossible input and presses Enter. */
    auto refused = [&](const char *says, int slot, std::function<void(ui_bus_item_dialog_t *)> next) {
        return [&s, says, slot, next] {
            GtkWidget *d = items_dialog("Playlist item");
            if (!d || status(item(d)).find(says) == std::string::npos)
                return false;
            ui_bus_item_dialog_t *c = item(d);
            EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(d)), c->entry[slot]) << says;
            next(c);
            items_key(c->entry[ITEM_ENTRY_TITLE], GDK_KEY_Return);
            return true;
        };
    };
    s.then([&] {
        GtkWidget *d = items_dialog("Playlist item");
        if (!d)
            return false;
        put(item(d), ITEM_ENTRY_DURATION, "99:99:99:99");
        items_key(item(d)->entry[ITEM_ENTRY_TITLE], GDK_KEY_Return);
        return true;
    });
    s.then(refused("DURATION: 99:99:99:99", ITEM_ENTRY_DURATION, [](ui_bus_item_dialog_t *c) {
        put(c, ITEM_ENTRY_DURATION, "00:00:05:00");
        put(c, ITEM_ENTRY_START_TIME, "25:61:00:00");
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(c->ms[2]), TRUE);
    }));
    s.then(refused("START TIME: 25:61:00:00", ITEM_ENTRY_START_TIME, [](ui_bus_item_dialog_t *c) {
        put(c, ITEM_ENTRY_START_TIME, "23:59:59:24");
        put(c, ITEM_ENTRY_MARK_IN, "00:00:00:25");
    }));
    s.then(refused("MARK IN: 00:00:00:25", ITEM_ENTRY_MARK_IN, [](ui_bus_item_dialog_t *c) {
        put(c, ITEM_ENTRY_MARK_IN, "00:00:05:00");
        put(c, ITEM_ENTRY_MARK_OUT, "00:00:01:00");
    }));
    s.then(refused("MARK OUT 00:00:01:00 is before MARK IN 00:00:05:00", ITEM_ENTRY_MARK_OUT,
                   [&](ui_bus_item_dialog_t *c) {
                       sent_while_refusing = calls("PelmoraBox.UpdateEvent2", 0, m);
                       /* A short form goes out as the completion offers it. */
                       put(c, ITEM_ENTRY_MARK_IN, "1:2:3");
                       put(c, ITEM_ENTRY_MARK_OUT, "2:0:0");
                   }));
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_e));
    EXPECT_TRUE(s.done());
    EXPECT_EQ(sent_while_refusing, 0);
    EXPECT_EQ(calls("PelmoraBox.UpdateEvent2", 0, m), 1);
    ASSERT_TRUE(wait_titles(b, {"C1", "Edit me", "C3"}));
    pelmorabox_event_t *got = items_server_event(sim.url, 1);
    ASSERT_TRUE(got);
    EXPECT_STREQ(got->mark_in, "00:01:02:03");
    EXPECT_STREQ(got->mark_out, "00:02:00:00");
    EXPECT_STREQ(got->duration, "00:00:05:00");
    EXPECT_EQ(got->start_type, 'F');
    pelmorabox_event_destroy(&got);
}

TEST_F(Items, TemplatesVariablesDirectionAndTheAudioMap)
{
    char media[] = "/tmp/pelmora_engine_XXXXXX";
    ASSERT_TRUE(mkdtemp(media));
    run(clips(1), {"--library=0", std::string("--media=") + media}, {},
        "B\tcurrent.meta.x\nA\tcurrent.meta.title\tother\tcurrent.meta.sub\nC\n");
    engine_remove_dir(media);
    bus_t *b = bus();
    size_t m = mark();
    items_script s;
    std::string map;
    s.then([&] {
        GtkWidget *d = items_dialog("Playlist item");
        if (!d)
            return false;
        ui_bus_item_dialog_t *c = item(d);
        GtkWidget *menu = tree_menu(c, "0");
        EXPECT_EQ(items_menu_labels(menu), (std::vector<std::string>{"Set direction", "Add template"}));
        GtkWidget *sub =
            gtk_menu_item_get_submenu(GTK_MENU_ITEM(gtk_container_get_children(GTK_CONTAINER(menu))->next->data));
        EXPECT_EQ(items_menu_labels(sub), (std::vector<std::string>{"A", "B", "C"}));
        EXPECT_TRUE(items_menu_activate(menu, "B", "Add template"));
        EXPECT_TRUE(items_menu_activate(tree_menu(c, "0"), "A", "Add template"));
        EXPECT_EQ(items_tree_rows(c->tree->model, "0"), (std::vector<std::string>{"B=", "A="}));

        menu = tree_menu(c, "0:1");
        EXPECT_TRUE(items_menu_activate(menu, "in", "Add metapair"));
        GList *kids = gtk_container_get_children(GTK_CONTAINER(menu));
        GtkWidget *vsub = nullptr;
        for (GList *l = kids; l && !vsub; l = l->next)
            vsub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(l->data));
        g_list_free(kids);
        EXPECT_EQ(items_menu_labels(vsub), (std::vector<std::string>{"title", "sub", "-", "in", "out", "dur"}));
        edit_cell(d, c, "0:1:0", 2, "00:00:02:00", true);
        EXPECT_EQ(items_tree_rows(c->tree->model, "0:1"), (std::vector<std::string>{"in=00:00:02:00"}));

        EXPECT_TRUE(items_menu_activate(tree_menu(c, "0"), "Prepend", "Set direction"));
        EXPECT_TRUE(items_menu_activate(tree_menu(c, "1"), "Add key/value pair"));
        EXPECT_TRUE(items_menu_activate(tree_menu(c, "1"), "Add key/value pair"));
        edit_cell(d, c, "1:1", 1, "k");
        EXPECT_EQ(items_tree_rows(c->tree->model, "1"), (std::vector<std::string>{"=", "k="}));

        s.nested([&] { gtk_button_clicked(GTK_BUTTON(c->btn_amap)); });
        EXPECT_EQ(text(c, ITEM_ENTRY_AUDIO_MAP), map);
        put(c, ITEM_ENTRY_MEDIA_ID, "demo/clip004.mxf");
        items_key(c->entry[ITEM_ENTRY_MEDIA_ID], GDK_KEY_Return);
        return true;
    });
    s.then([&] {
        GtkWidget *d = items_dialog("Audio Mapping configuration");
        if (!d)
            return false;
        auto *amap = static_cast<settings_amap_ui_t *>(g_object_get_data(G_OBJECT(d), "settings_amap_ui_t"));
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(amap->map_radios[0][1]), TRUE);
        char buf[260];
        map = settings_amap_get(amap, buf, sizeof buf);
        gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
        return true;
    });
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_Insert));
    EXPECT_TRUE(s.done());
    EXPECT_FALSE(map.empty());
    EXPECT_EQ(calls("PelmoraBox.InsertEvent", 0, m), 1);
    ASSERT_TRUE(wait_filled(b, 2));
    pelmorabox_event_t *got = items_server_event(sim.url, 1);
    ASSERT_TRUE(got);
    EXPECT_STREQ(got->assets, "B+A+");
    ASSERT_EQ(got->metadata_cnt, 1) << "pairs with an empty name or value are not saved";
    EXPECT_STREQ(got->metadata_pairs[0].key, "in@A#0");
    EXPECT_STREQ(got->metadata_pairs[0].val, "50");
    EXPECT_EQ(map, got->audio_map);
    pelmorabox_event_destroy(&got);
}

TEST_F(Items, PropertiesCopyTheChosenFieldsOfTheClipboardEvent)
{
    std::vector<std::string> list = clips(3);
    list[0] = items_line([](pelmorabox_event_t *e) {
        e->event_type = 'L';
        strcpy(e->duration, "00:00:10:00");
        strcpy(e->media_id, "demo/clip050.mxf");
        strcpy(e->title, "Source");
        strcpy(e->assets, "T1");
        strcpy(e->ar, "16:9");
        strcpy(e->audio_map, "10");
        pelmorabox_event_add_meta(e, "k", "v");
    });
    run(list);
    bus_t *b = bus();
    ops_select_rows(b, {0});
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_c, GDK_CONTROL_MASK));
    ops_select_rows(b, {1, 2});
    size_t m = mark();
    items_script s;
    s.then([&] {
        GtkWidget *d = items_dialog("Properties apply");
        if (!d)
            return false;
        for (int i = 0; i < 7; i++) {
            char key[32];
            snprintf(key, sizeof key, "props_check_%d", i);
            GtkWidget *w = GTK_WIDGET(g_object_get_data(G_OBJECT(d), key));
            EXPECT_EQ(active(w), i == 2 || i == 3) << "first choice: ASSETS and METADATA PAIRS, not " << i;
            if (i == 4)
                gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), TRUE);
        }
        gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
        return true;
    });
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_p, GDK_CONTROL_MASK));
    EXPECT_TRUE(s.done());
    EXPECT_EQ(b->props_max, 4 | 8 | 16);
    EXPECT_EQ(calls("PelmoraBox.UpdateEvent2", 0, m), 2);
    for (int i = 1; i <= 2; i++) {
        pelmorabox_event_t *got = items_server_event(sim.url, i);
        ASSERT_TRUE(got);
        EXPECT_STREQ(got->assets, "T1");
        EXPECT_STREQ(got->ar, "16:9");
        EXPECT_STREQ(got->audio_map, "") << "not chosen";
        EXPECT_EQ(got->event_type, 'V') << "not chosen";
        ASSERT_EQ(got->metadata_cnt, 1);
        EXPECT_STREQ(got->metadata_pairs[0].val, "v");
        pelmorabox_event_destroy(&got);
    }

    /* Two events in the clipboard: no dialog, nothing sent. */
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_c, GDK_CONTROL_MASK));
    bool opened = false;
    s.then([&] {
        if (GtkWidget *d = items_dialog("Properties apply")) {
            opened = true;
            gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_REJECT);
            return true;
        }
        return false;
    });
    ASSERT_TRUE(items_key(b->grid, GDK_KEY_p, GDK_CONTROL_MASK));
    engine_run_for(100);
    EXPECT_FALSE(opened);
    s.steps.clear();
    EXPECT_EQ(calls("PelmoraBox.UpdateEvent2", 0, m), 2);
}

} // namespace
