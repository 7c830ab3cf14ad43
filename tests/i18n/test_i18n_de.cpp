// The console in German: with LANGUAGE=de the real window, built against
// pelmora-sim, shows the panel's tooltips, frames and column titles from the
// catalogue compiled into share/locale beside bin/, still fits the smallest
// screen, and a dialog opened by a panel button speaks German too; the item
// dialog and the library pane show no English caption.
#include <gtest/gtest.h>

#include <libintl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "engine_support.h"
#include "event_builder.h"
#include "library.h"
#include "library_ui.h"
#include "ui_bus.h"
#include "ui_bus_item_dialog.h"

namespace {

/* Every text a widget tree shows: labels, button labels, frame labels. */
void collect_texts(GtkWidget *w, std::vector<std::string> *out)
{
    if (GTK_IS_LABEL(w))
        out->push_back(gtk_label_get_text(GTK_LABEL(w)));
    if (GTK_IS_FRAME(w) && gtk_frame_get_label(GTK_FRAME(w)))
        out->push_back(gtk_frame_get_label(GTK_FRAME(w)));
    if (GTK_IS_CONTAINER(w)) {
        GList *l = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList *p = l; p; p = p->next)
            collect_texts(GTK_WIDGET(p->data), out);
        g_list_free(l);
    }
}

/* Labels, frame labels, tooltips and list column titles under w. */
void collect_all(GtkWidget *w, std::vector<std::string> *out)
{
    if (GTK_IS_LABEL(w))
        out->push_back(gtk_label_get_text(GTK_LABEL(w)));
    if (GTK_IS_FRAME(w) && gtk_frame_get_label(GTK_FRAME(w)))
        out->push_back(gtk_frame_get_label(GTK_FRAME(w)));
    if (GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) && !gtk_button_get_use_stock(GTK_BUTTON(w)))
        out->push_back(gtk_button_get_label(GTK_BUTTON(w)));
    if (gchar *tip = gtk_widget_get_tooltip_text(w)) {
        out->push_back(tip);
        g_free(tip);
    }
    if (GTK_IS_TREE_VIEW(w)) {
        GList *cols = gtk_tree_view_get_columns(GTK_TREE_VIEW(w));
        for (GList *p = cols; p; p = p->next)
            if (const char *t = gtk_tree_view_column_get_title(GTK_TREE_VIEW_COLUMN(p->data)))
                out->push_back(t);
        g_list_free(cols);
    }
    if (GTK_IS_CONTAINER(w)) {
        GList *l = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList *p = l; p; p = p->next)
            collect_all(GTK_WIDGET(p->data), out);
        g_list_free(l);
    }
}

/* Texts shown in English although the catalogues have them in German, and
 * the English captions that must not be seen. */
std::vector<std::string> english(const std::vector<std::string> &texts, const std::vector<std::string> &forbidden)
{
    std::vector<std::string> found;
    for (const std::string &t : texts) {
        if (t.empty())
            continue;
        bool translatable = t != dgettext("PelmoraBox", t.c_str()) || t != dgettext("pelmorabox", t.c_str());
        bool listed = false;
        for (const std::string &f : forbidden)
            listed = listed || t == f;
        if (translatable || listed)
            found.push_back(t);
    }
    return found;
}

std::string joined(const std::vector<std::string> &v)
{
    std::string s;
    for (const std::string &x : v)
        s += " [" + x + "]";
    return s;
}

bool has(const std::vector<std::string> &v, const std::string &s)
{
    for (const std::string &x : v)
        if (x == s)
            return true;
    return false;
}

/* What the first modal dialog that appears shows; it is then cancelled. */
struct dialog_seen
{
    std::string title;
    std::vector<std::string> texts;
    int polls = 0;
};

gboolean read_and_cancel_dialog(gpointer data)
{
    dialog_seen *seen = static_cast<dialog_seen *>(data);
    GtkWidget *dlg = gui_find_dialog();
    if (!dlg)
        return ++seen->polls < 100; /* up to 5 s */
    const char *t = gtk_window_get_title(GTK_WINDOW(dlg));
    seen->title = t ? t : "";
    collect_texts(dlg, &seen->texts);
    gtk_dialog_response(GTK_DIALOG(dlg), GTK_RESPONSE_REJECT);
    return FALSE;
}

class German : public testing::Test
{
  protected:
    void SetUp() override
    {
        /* As an operator's German desktop would have it; gettext ignores
         * LANGUAGE in the C locale, so a UTF-8 one is named. */
        setenv("LANGUAGE", "de", 1);
        setenv("LANG", "C.UTF-8", 1);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        /* The program's own layout: share/locale beside bin/. */
        std::string locale_dir = std::string(PELMORA_BUILD_BIN_DIR) + "/../share/locale/";
        for (const char *domain : {"PelmoraBox", "pelmorabox"}) {
            bindtextdomain(domain, locale_dir.c_str());
            bind_textdomain_codeset(domain, "UTF-8");
        }
        textdomain("PelmoraBox");
        if (!engine_gtk_ready())
            GTEST_SKIP() << "no display: run the suite through scripts/test (xvfb-run)";
        ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), {"--automation", "0", "--buses", "8", "--events", "20"}), 0);
    }
    void TearDown() override
    {
        if (e.started)
            e.stop();
        if (sim.pid > 0)
            sim_child_stop(&sim);
    }
    sim_child_t sim;
    engine_app e;
};

TEST_F(German, PanelTooltipsFramesColumnsAndADialog)
{
    /* Eight buses, as many as the console takes: the window's width must not
     * grow with the tabs. */
    ASSERT_TRUE(e.create(engine_bus_args(sim.hostport, 8)));
    e.start();
    bus_t *bus = &e.app->bus.list[0];
    ASSERT_TRUE(engine_run_until([&] { return bus->state.s.count > 0; }, 10000));

    /* Tooltips come from the button table, translated when the panel is built. */
    ASSERT_NE(bus->buttons[BUTTON_LIST_TAKE], nullptr);
    gchar *tip = gtk_widget_get_tooltip_text(bus->buttons[BUTTON_LIST_TAKE]);
    EXPECT_STREQ(tip, "Nächstes Ereignis starten (Take)");
    g_free(tip);
    tip = gtk_widget_get_tooltip_text(bus->buttons[BUTTON_CHANNEL_START]);
    EXPECT_STREQ(tip, "Kanal starten");
    g_free(tip);

    std::vector<std::string> texts;
    collect_texts(e.app->window, &texts);
    EXPECT_TRUE(has(texts, "Steuerung")) << "the Controls frame";
    EXPECT_TRUE(has(texts, "Zeiten")) << "the Timers frame";
    EXPECT_FALSE(has(texts, "Controls"));

    bool titel = false;
    GList *cols = gtk_tree_view_get_columns(GTK_TREE_VIEW(bus->grid));
    for (GList *p = cols; p; p = p->next) {
        const char *t = gtk_tree_view_column_get_title(GTK_TREE_VIEW_COLUMN(p->data));
        titel = titel || (t && std::string(t) == "TITEL");
    }
    g_list_free(cols);
    EXPECT_TRUE(titel) << "the grid's TITLE column";

    /* With eight buses and the longer German texts the window still fits
     * the smallest screen the README names, 1280 x 720. */
    GtkRequisition req;
    gtk_widget_size_request(e.app->window, &req);
    printf("window requisition in German: %dx%d\n", req.width, req.height);
    EXPECT_LE(req.width, 1280);
    EXPECT_LE(req.height, 720);

    /* The load button asks for a playlist name in a modal dialog. */
    dialog_seen seen;
    g_timeout_add(50, read_and_cancel_dialog, &seen);
    gtk_button_clicked(GTK_BUTTON(bus->buttons[BUTTON_LIST_OPEN]));
    EXPECT_EQ(seen.title, "Name der zu ladenden Playlist eingeben");
    EXPECT_TRUE(has(seen.texts, "Name eingeben"));
    EXPECT_TRUE(has(seen.texts, "Aus Liste wählen"));
}

/* The item dialog as the bus opens it (start type and time) and the library
 * pane shown: every caption in German. */
TEST_F(German, ItemDialogAndLibraryPaneHaveNoEnglishCaption)
{
    ASSERT_TRUE(e.create(engine_bus_args(sim.hostport, 1)));
    e.start();
    bus_t *bus = &e.app->bus.list[0];
    library_ui_showhide(&bus->lib, 1);
    engine_run_for(200);

    /* The captions of the item dialog, its start types, and the pane's
     * tooltips and column titles as the English sources have them (those
     * that German writes the same, TAG: or NAME, left out). */
    const std::vector<std::string> captions = {
        "START TYPE:", "START TIME:", "MARK IN:",   "MARK OUT:",  "DURATION:", "MEDIA TYPE:", "MEDIA ID:",  "TITLE:",
        "META TREE",   "AR:",         "AUDIO MAP:", "AUDIO AMP:", "FOLLOW",    "MANUAL",      "FIXED TIME", "GAP FILL"};
    const std::vector<std::string> pane = {"Rename library item",
                                           "Delete library items",
                                           "Move items (F6)",
                                           "Create directory (F7)",
                                           "Show transfer list window",
                                           "Export selected items",
                                           "Normalize audio of selected items",
                                           "Find item",
                                           "Hide Library",
                                           "DUR"};

    std::vector<std::string> pane_texts;
    collect_all(bus->lib.ui[LIBRARY_UI_SHOWAREA], &pane_texts);
    EXPECT_GT(pane_texts.size(), 10u);
    std::vector<std::string> bad = english(pane_texts, pane);
    EXPECT_TRUE(bad.empty()) << "English in the library pane:" << joined(bad);

    pelmorabox_event_t *ev = event_build(
        {"", 'M', "00:00:00:00", "00:00:10:00", "00:00:10:00", 'C', "CLIP1", "Opening", "", "", "", "", "", ""});
    ui_bus_item_dialog_t ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.opts_flags = ITEM_DIALOG_START;
    ctx.lib_url = "http://127.0.0.1:1/RPC2";
    ctx.top = e.app->window;
    dialog_seen seen;
    g_timeout_add(50, read_and_cancel_dialog, &seen);
    EXPECT_EQ(ui_bus_item_dialog(&ctx, &ev), 0);
    pelmorabox_event_destroy(&ev);
    EXPECT_EQ(seen.title, "Playlist-Element") << "the dialog did not come up in German";
    EXPECT_GT(seen.texts.size(), 14u);
    bad = english(seen.texts, captions);
    EXPECT_TRUE(bad.empty()) << "English in the item dialog:" << joined(bad);
    EXPECT_TRUE(has(seen.texts, "STARTZEIT:"));
}

} // namespace
