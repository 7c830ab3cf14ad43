/* Helpers of the bus operation tests: a fixture with pelmora-sim and the real
 * console window (tests/engine's harness), answers to the modal dialogs the
 * actions put up, synthesized keys and clicks, and readers of the grid and
 * the simulator's call log. */
#pragma once
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "engine_support.h"

/* What a dialog showed. */
struct ops_dialog_seen
{
    std::string title;
    std::string text; /* the message of a message box, else "" */
};

/* Answers the dialogs that appear, in order, from a main-loop timeout (so
 * also inside the nested loop of a running dialog). A step returns true when
 * it is done with its dialog; false leaves the dialog to the next step (for
 * a dialog that stays open). A dialog that no step is waiting for is closed
 * after two seconds and counted as unexpected, so a test never hangs. */
struct ops_dialogs
{
    using step_t = std::function<bool(GtkWidget *dlg)>;
    ops_dialogs();
    ~ops_dialogs();
    void then(step_t step);
    /* Records the dialog and answers it with response. */
    void respond(int response);
    size_t pending() const { return steps.size(); }

    std::deque<step_t> steps;
    std::vector<ops_dialog_seen> seen;
    int unexpected = 0;
    guint source = 0;
    GtkWidget *stray = nullptr;
    gint64 stray_since = 0;
};

/* Watches the main loop from a 10 ms timer while an action runs: the
 * longest time between two ticks (the loop held), and the titles of the
 * dialogs or modal windows that were up meanwhile (besides main). */
struct ops_loop_watch : gui_pause_meter
{
    explicit ops_loop_watch(GtkWidget *main);
    /* Longest pause so far in milliseconds, the time since the last tick
     * included. */
    gint64 longest_ms() { return gui_pause_meter::longest_ms(true); }

    GtkWidget *main;
    std::vector<std::string> modal;
};

/* Synthesized input through the toolkit's event dispatch (so the handler
 * sees it as the current event). */
gboolean ops_send_key(GtkWidget *w, guint keyval, guint state, guint32 time = GDK_CURRENT_TIME);
/* A double click of the left button on a grid row. */
gboolean ops_double_click_row(GtkWidget *grid, int row);
/* A click of the left button on a button widget, at X server time t. */
void ops_click_at(GtkWidget *button, guint32 t);

/* Selection helpers of a grid. */
void ops_select_rows(bus_t *bus, const std::vector<int> &rows);
int ops_cursor_row(bus_t *bus);

/* A playlist line with every field that the tests set. */
std::string ops_event_line(const char *dur, const char *media, const char *title, char start_type = ' ',
                           const char *mark_in = "", const char *mark_out = "", const char *fixed_time = "");

class OpsTest : public testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    void start_sim(std::vector<std::string> args);
    void start_console(std::vector<std::string> extra = {}, int buses = 1);
    bus_t *bus(int i = 0) { return &e.app->bus.list[i]; }

    /* Waits until the grid has n rows, each holding an event. */
    bool wait_filled(bus_t *b, int n, int ms = 6000);
    /* Waits until the grid shows exactly these titles. Content, not the
     * change counter: a fetch that was under way when an action's state
     * was applied can bring an older state back for a moment. */
    bool wait_titles(bus_t *b, const std::vector<std::string> &expected, int ms = 6000);
    /* Shows bus i's page: only a grid on screen has visible rows to fetch. */
    void show_page(int i);
    std::vector<std::string> titles(bus_t *b);
    /* Calls of method on bus (-2: any) since the log line mark. With sync
     * the simulator's output is read up to a call made now first (the call
     * log is captured by a reader thread, so it may lag behind); the main
     * loop does not run meanwhile. */
    int calls(const char *method, int bus_idx = -2, size_t mark = 0, bool sync = true);
    void sync_log();
    size_t mark() { return sim_line_count(&sim); }
    void click(int button, int bus_i = 0) { gtk_button_clicked(GTK_BUTTON(bus(bus_i)->buttons[button])); }

    sim_child_t sim;
    engine_app e;
    std::string data;
};
