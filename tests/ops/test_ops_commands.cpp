// Channel commands from the panel's buttons against pelmora-sim: start and
// stop, take, jump and fallback with and without their confirmations, a
// double click that must not send twice, and the help and vendor pages.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gdk/gdkkeysyms.h>

#include "bus.h"
#include "bus_ctl.h"
#include "ops_support.h"
#include "pelmorabox.h"
#include "ui_bus.h"

namespace {

std::vector<std::string> six_clips()
{
    std::vector<std::string> l;
    for (int i = 1; i <= 6; i++) {
        char media[64], title[32];
        snprintf(media, sizeof media, "demo/clip%03d.mxf", i);
        snprintf(title, sizeof title, "E%d", i);
        l.push_back(ops_event_line("00:00:20:00", media, title));
    }
    return l;
}

class OpsCommands : public OpsTest
{
  protected:
    void start(std::vector<std::string> console_opts, bool running)
    {
        data = engine_data_dir({{"six", six_clips()}});
        std::vector<std::string> sim_opts = {"--playlist", "six"};
        if (running)
            sim_opts.push_back("--autostart");
        start_sim(sim_opts);
        start_console(console_opts);
        ASSERT_TRUE(wait_filled(bus(), 6));
    }
    bool top_is(const char *title)
    {
        return engine_run_until([&] { return grid_text(bus(), 0, BUS_COLUMN_TITLE) == title; }, 4000);
    }
};

TEST_F(OpsCommands, StartAndStopWithoutConfirmationActAtOnceAndApplyTheState)
{
    start({}, false);
    bus_t *b = bus();
    ASSERT_EQ(b->state.s.f_running, 0);
    ops_dialogs d;
    size_t m = mark();
    click(BUTTON_CHANNEL_START);
    EXPECT_EQ(calls("PelmoraBox.Run", 0, m), 1);
    /* The returned state is applied before the click handler returns. */
    EXPECT_EQ(b->state.s.f_running, 1);
    click(BUTTON_CHANNEL_STOP);
    EXPECT_EQ(calls("PelmoraBox.Run", 0, m), 2);
    EXPECT_EQ(b->state.s.f_running, 0);
    EXPECT_TRUE(d.seen.empty()) << "no question without --bus-start-stop-confirm";
}

TEST_F(OpsCommands, StartAndStopConfirmationCancelSendsNothingOkSends)
{
    start({"--bus-start-stop-confirm"}, false);
    bus_t *b = bus();
    ops_dialogs d;
    size_t m = mark();
    d.respond(GTK_RESPONSE_CANCEL);
    click(BUTTON_CHANNEL_START);
    EXPECT_EQ(calls("PelmoraBox.Run", 0, m), 0);
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_CHANNEL_START);
    EXPECT_EQ(calls("PelmoraBox.Run", 0, m), 1);
    EXPECT_EQ(b->state.s.f_running, 1);
    d.respond(GTK_RESPONSE_DELETE_EVENT);
    click(BUTTON_CHANNEL_STOP);
    EXPECT_EQ(calls("PelmoraBox.Run", 0, m), 1) << "closing the question is a cancel";
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_CHANNEL_STOP);
    EXPECT_EQ(calls("PelmoraBox.Run", 0, m), 2);
    EXPECT_EQ(b->state.s.f_running, 0);
    ASSERT_EQ(d.seen.size(), 4u);
    EXPECT_EQ(d.seen[0].text, "Are you sure to START bus");
    EXPECT_EQ(d.seen[1].text, "Are you sure to START bus");
    EXPECT_EQ(d.seen[2].text, "Are you sure to STOP bus");
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsCommands, TakeJumpAndFallbackWithoutConfirmation)
{
    start({}, true);
    bus_t *b = bus();
    ops_dialogs d;
    size_t m = mark();
    click(BUTTON_LIST_TAKE);
    EXPECT_EQ(calls("PelmoraBox.Take", 0, m), 1);
    EXPECT_EQ(grid_rows(b), 5) << "the taken event's state is applied at once";
    EXPECT_TRUE(top_is("E2"));

    /* Jump to the selected row: the events above it leave. */
    ops_select_rows(b, {2});
    click(BUTTON_LIST_TAKE_N);
    EXPECT_EQ(calls("PelmoraBox.TakeN", 0, m), 1);
    EXPECT_EQ(grid_rows(b), 3);
    EXPECT_TRUE(top_is("E4"));

    click(BUTTON_LIST_FALLBACK);
    EXPECT_EQ(calls("PelmoraBox.Fallback", 0, m), 1);
    engine_run_until([&] { return grid_text(b, 0, BUS_COLUMN_MEDIA_ID) == "fallback"; }, 4000);
    EXPECT_EQ(grid_text(b, 0, BUS_COLUMN_MEDIA_ID), "fallback");
    EXPECT_TRUE(d.seen.empty());
}

TEST_F(OpsCommands, TakeJumpAndFallbackAskFirstWithImmediateActionsConfirm)
{
    start({"--immediate-actions-confirm"}, true);
    bus_t *b = bus();
    ops_dialogs d;
    size_t m = mark();
    for (int button : {BUTTON_LIST_TAKE, BUTTON_LIST_TAKE_N, BUTTON_LIST_FALLBACK}) {
        ops_select_rows(b, {1});
        d.respond(GTK_RESPONSE_CANCEL);
        click(button);
    }
    EXPECT_EQ(calls("PelmoraBox.Take", 0, m) + calls("PelmoraBox.TakeN", 0, m) + calls("PelmoraBox.Fallback", 0, m), 0)
        << "cancelled questions sent a command";
    ASSERT_EQ(d.seen.size(), 3u);
    EXPECT_EQ(d.seen[0].text, "Are you sure to TAKE?");
    EXPECT_EQ(d.seen[1].text, "Are you sure to JUMP?");
    EXPECT_EQ(d.seen[2].text, "Are you sure to FALLBACK?");

    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_TAKE);
    EXPECT_EQ(calls("PelmoraBox.Take", 0, m), 1);
    ops_select_rows(b, {1});
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_TAKE_N);
    EXPECT_EQ(calls("PelmoraBox.TakeN", 0, m), 1);
    d.respond(GTK_RESPONSE_OK);
    click(BUTTON_LIST_FALLBACK);
    EXPECT_EQ(calls("PelmoraBox.Fallback", 0, m), 1);
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsCommands, DoubleClickOnTakeSendsOneTake)
{
    start({}, true);
    GtkWidget *take = bus()->buttons[BUTTON_LIST_TAKE];
    ASSERT_TRUE(gtk_widget_get_mapped(take)) << "the panel must be on screen for real clicks";
    size_t m = mark();
    guint32 t = 100000;
    ops_click_at(take, t);
    ops_click_at(take, t + 150); /* second half of a double click */
    engine_run_for(100);
    EXPECT_EQ(calls("PelmoraBox.Take", 0, m), 1);
    /* A deliberate click later is a new command. */
    ops_click_at(take, t + 2000);
    engine_run_for(100);
    EXPECT_EQ(calls("PelmoraBox.Take", 0, m), 2);
}

TEST_F(OpsCommands, KeyboardAloneStartsTakesJumpsAndStops)
{
    start({"--immediate-actions-confirm"}, false);
    bus_t *b = bus();
    GtkWidget *g = b->grid;
    ops_dialogs d;
    size_t m = mark();
    /* Start and stop from the keyboard always ask, whatever
     * --bus-start-stop-confirm says. */
    d.respond(GTK_RESPONSE_CANCEL);
    ASSERT_TRUE(ops_send_key(g, GDK_KEY_F12, 0, 500));
    EXPECT_EQ(calls("PelmoraBox.Run", 0, m), 0) << "F12 cancelled still started the bus";
    d.respond(GTK_RESPONSE_OK);
    ASSERT_TRUE(ops_send_key(g, GDK_KEY_F12, 0, 1000));
    EXPECT_EQ(b->state.s.f_running, 1) << "F12 starts the bus";

    /* F5 asks, as the button does; a held key repeats its press but takes
     * once. */
    d.respond(GTK_RESPONSE_OK);
    ASSERT_TRUE(ops_send_key(g, GDK_KEY_F5, 0, 2000));
    ASSERT_TRUE(ops_send_key(g, GDK_KEY_F5, 0, 2030));
    ASSERT_TRUE(ops_send_key(g, GDK_KEY_F5, 0, 2060));
    EXPECT_EQ(calls("PelmoraBox.Take", 0, m), 1);
    EXPECT_TRUE(top_is("E2"));

    ops_select_rows(b, {2});
    d.respond(GTK_RESPONSE_OK);
    ASSERT_TRUE(ops_send_key(g, GDK_KEY_F10, 0, 5000));
    EXPECT_EQ(calls("PelmoraBox.TakeN", 0, m), 1);
    EXPECT_TRUE(top_is("E4"));

    d.respond(GTK_RESPONSE_OK);
    ASSERT_TRUE(ops_send_key(g, GDK_KEY_F11, 0, 6000));
    EXPECT_EQ(calls("PelmoraBox.Fallback", 0, m), 1);

    d.respond(GTK_RESPONSE_OK);
    ASSERT_TRUE(ops_send_key(g, GDK_KEY_F9, 0, 7000));
    EXPECT_EQ(b->state.s.f_running, 0) << "F9 stops the bus";
    ASSERT_EQ(d.seen.size(), 6u);
    EXPECT_EQ(d.seen[0].text, "Are you sure to START bus");
    EXPECT_EQ(d.seen[1].text, "Are you sure to START bus");
    EXPECT_EQ(d.seen[2].text, "Are you sure to TAKE?");
    EXPECT_EQ(d.seen[3].text, "Are you sure to JUMP?");
    EXPECT_EQ(d.seen[4].text, "Are you sure to FALLBACK?");
    EXPECT_EQ(d.seen[5].text, "Are you sure to STOP bus");

    /* Alt+Down truncates below the selected event, after the question. */
    engine_run_until([&] { return grid_event(b, 1) && grid_text(b, 1, BUS_COLUMN_TITLE) == "E5"; }, 4000);
    ops_select_rows(b, {1});
    d.respond(GTK_RESPONSE_OK);
    ASSERT_TRUE(ops_send_key(g, GDK_KEY_Down, GDK_MOD1_MASK, 8000));
    EXPECT_EQ(calls("PelmoraBox.TruncatePlaylist", 0, m), 1);
    EXPECT_EQ(grid_rows(b), 2);
    /* Alt+M lists the absent events. */
    d.respond(GTK_RESPONSE_REJECT);
    ASSERT_TRUE(ops_send_key(g, GDK_KEY_m, GDK_MOD1_MASK, 9000));
    ASSERT_EQ(d.seen.size(), 8u);
    EXPECT_EQ(d.seen[7].title, "ABSENT ITEMS");
    EXPECT_EQ(d.unexpected, 0);
}

TEST_F(OpsCommands, AltDigitBringsThatBusToTheFront)
{
    data = engine_data_dir({{"six", six_clips()}});
    start_sim({"--buses", "2", "--playlist", "six"});
    start_console({}, 2);
    GtkNotebook *nb = GTK_NOTEBOOK(e.app->apps_notebook);
    ASSERT_EQ(gtk_notebook_get_current_page(nb), 0);
    ASSERT_TRUE(ops_send_key(bus(0)->grid, GDK_KEY_2, GDK_MOD1_MASK));
    EXPECT_EQ(gtk_notebook_get_current_page(nb), 1);
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(e.app->window)), bus(1)->grid) << "the grid of that bus takes the keys";
    ASSERT_TRUE(ops_send_key(bus(1)->grid, GDK_KEY_1, GDK_MOD1_MASK));
    EXPECT_EQ(gtk_notebook_get_current_page(nb), 0);
    GdkEventKey ev = {};
    ev.type = GDK_KEY_PRESS;
    ev.keyval = GDK_KEY_3;
    ev.state = GDK_MOD1_MASK;
    EXPECT_FALSE(on_grid_key_press_event(bus(0)->grid, &ev, bus(0))) << "there is no third bus";
}

TEST_F(OpsCommands, RefusedCommandPutsNoDialogUpAndTheListStays)
{
    /* Take on a stopped bus is refused by the server (-1). */
    start({}, false);
    bus_t *b = bus();
    ops_dialogs d;
    int64_t amend = b->state.s.amend;
    size_t m = mark();
    click(BUTTON_LIST_TAKE);
    EXPECT_EQ(calls("PelmoraBox.Take", 0, m), 1);
    engine_run_for(300);
    EXPECT_EQ(grid_rows(b), 6);
    EXPECT_EQ(b->state.s.amend, amend);
    EXPECT_TRUE(d.seen.empty()) << "a failed command shows no dialog";
    EXPECT_NE(std::string(bus_ui_notice_text(b)).find("TAKE failed"), std::string::npos) << "nor a notice";
}

int recorded_opens;
std::string recorded_uri;
int record_open(const char *uri)
{
    recorded_opens++;
    recorded_uri = uri;
    return 0;
}

TEST_F(OpsCommands, HelpOpensTheGuideBesideTheProgramAndVendorItsPage)
{
    start({}, false);
    instance_bin_dir_set(nullptr);
    bus_ctl_set_open_proc(record_open);
    recorded_opens = 0;
    char path[4096];
    bus_ctl_help_path(path, sizeof path);
    EXPECT_EQ(std::string(path), std::string(PELMORA_BUILD_BIN_DIR) + "/PelmoraBoxUI.pdf");
    /* A build without groff has no guide: Help says so instead. */
    const bool guide = access(path, F_OK) == 0;
    ops_dialogs d;
    if (!guide)
        d.respond(GTK_RESPONSE_OK);
    click(BUTTON_HELP);
    if (guide) {
        ASSERT_EQ(recorded_opens, 1);
        EXPECT_EQ(recorded_uri, std::string("file://") + path);
    } else {
        EXPECT_EQ(recorded_opens, 0);
        ASSERT_EQ(d.seen.size(), 1u);
        EXPECT_NE(d.seen[0].text.find("The operator's guide was not found"), std::string::npos) << d.seen[0].text;
        recorded_opens = 1;
    }
    click(BUTTON_COMPANY);
    EXPECT_EQ(recorded_opens, 2);
    EXPECT_EQ(recorded_uri, BUS_CTL_COMPANY_URL);
    /* Present and checking counters only show numbers. */
    size_t m = mark();
    click(BUTTON_LIST_BUS_PRESENT_ITEMS);
    click(BUTTON_LIST_BUS_CHECKING_ITEMS);
    EXPECT_EQ(recorded_opens, 2);
    sync_log();
    for (const sim_call &c : sim_calls(&sim, m))
        EXPECT_TRUE(c.method == "PelmoraBox.GetState" || c.method == "PelmoraBox.GetEvents2")
            << "buttons 12 and 13 sent " << c.method;
    /* No program could take the guide: the operator is told. */
    if (guide) {
        d.respond(GTK_RESPONSE_OK);
        bus_ctl_set_open_proc([](const char *) { return -2; });
        click(BUTTON_HELP);
        ASSERT_EQ(d.seen.size(), 1u);
        EXPECT_NE(d.seen[0].text.find("No program to show the operator's guide"), std::string::npos) << d.seen[0].text;
    }
    bus_ctl_set_open_proc(nullptr);
    EXPECT_EQ(d.unexpected, 0);

#ifdef PELMORA_GUIDE_PDF
    std::ifstream pdf(PELMORA_GUIDE_PDF, std::ios::binary);
    char head[5] = {};
    pdf.read(head, 4);
    EXPECT_STREQ(head, "%PDF") << "the operator's guide is built beside the program";
#endif
}

TEST_F(OpsCommands, OpenFallsBackToXdgOpen)
{
    if (!engine_gtk_ready())
        GTEST_SKIP();
    /* A scheme no desktop handles: gtk_show_uri fails and xdg-open (here a
     * script that writes down its argument) takes it. */
    char dir[] = "/tmp/pelmora_engine_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    data = dir;
    std::string out = data + "/opened";
    std::string script = data + "/xdg-open";
    {
        std::ofstream f(script);
        f << "#!/bin/sh\nprintf '%s' \"$1\" > '" << out << ".tmp' && mv '" << out << ".tmp' '" << out << "'\n";
    }
    chmod(script.c_str(), 0755);
    std::string path = data + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    std::string saved = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", path.c_str(), 1);
    int r = bus_ctl_open_uri("pelmora-ops-test:guide");
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(r, 0);
    ASSERT_TRUE(engine_run_until([&] { return access(out.c_str(), F_OK) == 0; }, 5000));
    std::ifstream f(out);
    std::string got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, "pelmora-ops-test:guide");
    EXPECT_LT(bus_ctl_open_uri(""), 0);
}

} // namespace
