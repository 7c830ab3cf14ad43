// The console in German: with LANGUAGE=de the real window, built against
// pelmora-sim, shows the panel's tooltips, frames and column titles from the
// catalogue compiled into share/locale beside bin/, still fits the smallest
// screen, and a dialog opened by a panel button speaks German too.
#include <gtest/gtest.h>

#include <libintl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "engine_support.h"
#include "ui_bus.h"

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
    GList *tops = gtk_window_list_toplevels();
    GtkWidget *dlg = nullptr;
    for (GList *p = tops; p; p = p->next)
        if (GTK_IS_DIALOG(p->data) && gtk_widget_get_visible(GTK_WIDGET(p->data)))
            dlg = GTK_WIDGET(p->data);
    g_list_free(tops);
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
        bindtextdomain("PelmoraBox", locale_dir.c_str());
        bind_textdomain_codeset("PelmoraBox", "UTF-8");
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

} // namespace
