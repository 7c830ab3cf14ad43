/* Bus grid row measuring: builds the grid the way a bus panel does (the
 * column plan of src/ui/ui_bus.cpp through ui_create_treeview_list), fills it
 * with N rows like the engine's, shows it and times how long GTK's background
 * measuring of the rows holds the main loop; --grids K shows K such grids as
 * notebook pages in turn; --off-screen-hidden hides and unrealizes the grids
 * of the pages not on screen, as the console's page switch does.
 * BENCH_GRID_HOLDS=1 lists every hold and redraw.
 * Prints figures; never fails. */
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ui_bus.h"
#include "ui_tools.h"

namespace {

int64_t now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

/* Time spent waiting in poll, so a main-loop iteration's hold is its length
 * less its wait. */
int64_t g_poll_us;

gint timed_poll(GPollFD *fds, guint nfds, gint timeout)
{
    int64_t t0 = now_us();
    int r = g_poll(fds, nfds, timeout);
    g_poll_us += now_us() - t0;
    return r;
}

/* The engine's preparation of a bus grid (src/ui/bus.cpp): solid grid lines
 * and columns that only grow. */
void prepare_like_engine(GtkWidget *grid)
{
    static bool parsed;
    if (!parsed)
        gtk_rc_parse_string("style \"pelmora_bus_grid\" { GtkTreeView::grid-line-pattern = \"\" }\n"
                            "widget \"*.bus_list_*\" style \"pelmora_bus_grid\"\n");
    parsed = true;
    gtk_widget_reset_rc_styles(grid);
    GList *cols = gtk_tree_view_get_columns(GTK_TREE_VIEW(grid));
    for (GList *c = cols; c; c = c->next) {
        auto *col = GTK_TREE_VIEW_COLUMN(c->data);
        if (gtk_tree_view_column_get_sizing(col) == GTK_TREE_VIEW_COLUMN_AUTOSIZE)
            gtk_tree_view_column_set_sizing(col, GTK_TREE_VIEW_COLUMN_GROW_ONLY);
    }
    g_list_free(cols);
}

const char *const titles[] = {"Evening News",
                              "Weather Update",
                              "Sports Roundup",
                              "Documentary: The Northern Coast",
                              "Station Ident",
                              "Promo - Weekend Movie",
                              "Commercial Break 3",
                              "Children's Hour",
                              "Late Night Talk Show with Guests",
                              "Music Video"};

std::string timecode(int frames)
{
    char b[32];
    snprintf(b, sizeof b, "%02d:%02d:%02d:%02d", frames / 90000 % 24, frames / 1500 % 60, frames / 25 % 60,
             frames % 25);
    return b;
}

/* One row as bus_ui_update_event writes it: texts of every titled column,
 * the start type image, and the colour columns (a type colour on some rows,
 * the error colours on others, none on most). */
void fill_row(GtkListStore *store, GtkTreeIter *it, int i, GdkPixbuf *const *icons)
{
    static const char *const marks[] = {"", "?", "-", "+", "#"};
    static const char *const types[] = {"V", "V", "V", "C", "L", "G"};
    int start = 6 * 90000 + i * 750;
    std::string title = std::string(titles[i % 10]) + " " + std::to_string(1000 + i);
    char media[64];
    snprintf(media, sizeof media, "%s/%c%06d", i % 3 ? "CLIPS" : "NEWS", 'A' + i % 26, i * 7);
    std::string assets;
    if (i % 4 == 0)
        assets = "LOGO_" + std::to_string(i % 12) + "\nSTRAP_" + std::to_string(i % 30);
    else if (i % 4 == 1)
        assets = "LOGO_" + std::to_string(i % 12);
    gtk_list_store_set(store, it, BUS_COLUMN_START_TYPE_ICON, icons[i % 7 == 0 ? 1 : 0], BUS_COLUMN_START,
                       timecode(start).c_str(), BUS_COLUMN_MEDIA_TYPE, types[i % 6], BUS_COLUMN_MEDIA_ID, media,
                       BUS_COLUMN_DUR, timecode(750 + i % 100).c_str(), BUS_COLUMN_MARK_IN, "00:00:00:00",
                       BUS_COLUMN_MARK_OUT, timecode(750 + i % 100).c_str(), BUS_COLUMN_TITLE, title.c_str(),
                       BUS_COLUMN_TAG, i % 5 ? "" : "LIVE", BUS_COLUMN_ASSETS, assets.c_str(), BUS_COLUMN_AR,
                       i % 9 ? "16:9" : "4:3", BUS_COLUMN_AMAP, "1,2,3,4", BUS_COLUMN_AAMP, "0", BUS_COLUMN_NOTES,
                       i % 11 ? "" : "P", BUS_COLUMN_AUX1, i % 2 ? "" : media, BUS_COLUMN_AUX2,
                       i % 3 ? "" : std::to_string(500000 + i).c_str(), BUS_COLUMN_IDX, i, -1);
    for (int a = 0; a < PELMORABOX_EVENT_AUXMEDIA_LAST; a++)
        gtk_list_store_set(store, it, aux_media_column_idxs[a], marks[(i + a) % 5], -1);
    const char *bg = nullptr, *fg = nullptr;
    if (i % 6 == 3) { /* a type colour */
        bg = "#ffffcc";
        fg = "#000080";
    } else if (i % 6 == 4) {
        bg = "#ccffcc";
        fg = "#000000";
    }
    if (i % 17 == 0) { /* absent or out of range */
        bg = "#ff6060";
        fg = "#ffffff";
    }
    gtk_list_store_set(store, it, BUS_COLUMN_BG_COLOR, bg ? TRUE : FALSE, BUS_COLUMN_BG_COLOR_V, bg,
                       BUS_COLUMN_FG_COLOR, fg ? TRUE : FALSE, BUS_COLUMN_FG_COLOR_V, fg, -1);
}

struct run_desc
{
    bool exposed = false;
    bool idle = false;
    int64_t exposed_at = 0;
    int64_t idle_at = 0;
};

gboolean on_expose(GtkWidget *, GdkEventExpose *, gpointer data)
{
    auto *run = (run_desc *)data;
    if (!run->exposed) {
        run->exposed = true;
        run->exposed_at = now_us();
    }
    return FALSE;
}

/* Time spent drawing the grids: GTK redraws a shown grid after each pass of
 * its measuring. */
struct draw_desc
{
    int64_t t0 = 0;
    int64_t sum = 0;
    int64_t max = 0;
    int count = 0;
};
draw_desc g_draw;

gboolean on_draw(GtkWidget *, GdkEventExpose *, gpointer)
{
    g_draw.t0 = now_us();
    return FALSE;
}

gboolean on_draw_after(GtkWidget *, GdkEventExpose *, gpointer)
{
    int64_t d = now_us() - g_draw.t0;
    if (getenv("BENCH_GRID_HOLDS"))
        printf("draw %.1f ms\n", d / 1000.0);
    g_draw.sum += d;
    g_draw.max = std::max(g_draw.max, d);
    g_draw.count++;
    return FALSE;
}

/* Runs at a lower priority than the view's row measuring, so it is
 * dispatched once that has nothing left to do. */
gboolean on_low_idle(gpointer data)
{
    auto *run = (run_desc *)data;
    run->idle = true;
    run->idle_at = now_us();
    return FALSE;
}

/* Visible columns of the view. */
std::vector<GtkTreeViewColumn *> visible_columns(GtkTreeView *view)
{
    std::vector<GtkTreeViewColumn *> v;
    GList *cols = gtk_tree_view_get_columns(view);
    for (GList *c = cols; c; c = c->next)
        if (gtk_tree_view_column_get_visible(GTK_TREE_VIEW_COLUMN(c->data)))
            v.push_back(GTK_TREE_VIEW_COLUMN(c->data));
    g_list_free(cols);
    return v;
}

/* What measuring one row costs outside the main loop: the view's own steps,
 * cell data (model to renderers) of every visible column, then the sizes of
 * those cells (text layout) -- the order differs from the view's, which
 * takes each column's data and size in turn; the sum is the same work. */
struct direct_desc
{
    double data_us = 0;
    double size_us = 0;
};

direct_desc direct_row_us(GtkTreeView *view, int rows)
{
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    std::vector<GtkTreeViewColumn *> cols = visible_columns(view);
    direct_desc best;
    /* the best of three passes: the machine is shared */
    for (int pass = 0; pass < 3; pass++) {
        GtkTreeIter it;
        int n = 0;
        int64_t data = 0, size = 0;
        for (bool ok = gtk_tree_model_get_iter_first(model, &it); ok && n < rows;
             ok = gtk_tree_model_iter_next(model, &it), n++) {
            int64_t t0 = now_us();
            for (GtkTreeViewColumn *col : cols)
                gtk_tree_view_column_cell_set_cell_data(col, model, &it, FALSE, FALSE);
            int64_t t1 = now_us();
            for (GtkTreeViewColumn *col : cols) {
                gint w = 0, h = 0;
                gtk_tree_view_column_cell_get_size(col, nullptr, nullptr, nullptr, &w, &h);
            }
            int64_t t2 = now_us();
            data += t1 - t0;
            size += t2 - t1;
        }
        if (!n)
            break;
        if (pass == 0 || (double)data / n < best.data_us)
            best.data_us = (double)data / n;
        if (pass == 0 || (double)size / n < best.size_us)
            best.size_us = (double)size / n;
    }
    return best;
}

/* A grid as a bus panel has it: plan, name, hidden columns, the engine's
 * preparation, and rows filled. */
GtkWidget *make_grid(int n, int rows, bool console_columns, GdkPixbuf *const *icons)
{
    char name[32];
    snprintf(name, sizeof name, "bus_list_%d", n);
    GtkWidget *grid = ui_create_treeview_list(nullptr, name, columns_plan);
    gtk_widget_set_name(grid, name);
    GtkTreeView *view = GTK_TREE_VIEW(grid);
    if (console_columns) {
        for (int i = 0; i < PELMORABOX_EVENT_AUXMEDIA_LAST; i++)
            gtk_tree_view_column_set_visible(gtk_tree_view_get_column(view, aux_media_column_idxs[i]), FALSE);
        gtk_tree_view_column_set_visible(gtk_tree_view_get_column(view, BUS_COLUMN_AUX1), FALSE);
        gtk_tree_view_column_set_visible(gtk_tree_view_get_column(view, BUS_COLUMN_AUX2), FALSE);
    }
    prepare_like_engine(grid);
    GtkListStore *store = GTK_LIST_STORE(gtk_tree_view_get_model(view));
    for (int i = 0; i < rows; i++) {
        GtkTreeIter it;
        gtk_list_store_append(store, &it);
        fill_row(store, &it, i, icons);
    }
    return grid;
}

/* Main-loop iterations with their holds: the length of each less its wait
 * in poll. */
struct holds_desc
{
    std::vector<int64_t> v;
    int64_t sum = 0;
};

void iterate(holds_desc *h)
{
    g_poll_us = 0;
    int64_t t0 = now_us();
    g_main_context_iteration(nullptr, TRUE);
    int64_t hold = now_us() - t0 - g_poll_us;
    h->v.push_back(hold);
    h->sum += hold;
}

} // namespace

/* The console's page switch: only the grid on screen is shown and realized. */
static void follow_page(GtkNotebook *nb, gpointer, guint num, gpointer)
{
    for (int i = 0; i < gtk_notebook_get_n_pages(nb); i++) {
        GtkWidget *grid = gtk_bin_get_child(GTK_BIN(gtk_notebook_get_nth_page(nb, i)));
        if ((guint)i == num) {
            gtk_widget_show(grid);
            continue;
        }
        gtk_widget_hide(grid);
        if (gtk_widget_get_realized(grid))
            gtk_widget_unrealize(grid);
    }
}

int main(int argc, char **argv)
{
    int rows = 10000;
    int grids = 1;
    bool console_columns = false, off_screen_hidden = false;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--off-screen-hidden"))
            off_screen_hidden = true;
        else if (!strcmp(argv[i], "--console-columns"))
            console_columns = true; /* aux media, AUX1 and AUX2 hidden, as by default */
        else if (!strcmp(argv[i], "--grids") && i + 1 < argc && atoi(argv[i + 1]) > 0)
            grids = atoi(argv[++i]);
        else if (atoi(argv[i]) > 0)
            rows = atoi(argv[i]);
        else {
            fprintf(stderr, "usage: %s [ROWS] [--grids K] [--console-columns] [--off-screen-hidden]\n", argv[0]);
            return 2;
        }
    }
    if (!gtk_init_check(&argc, &argv)) {
        fprintf(stderr, "bench_grid_rows: no display\n");
        return 2;
    }
    g_main_context_set_poll_func(nullptr, timed_poll);

    /* One grid fills the window; several are notebook pages, shown in turn
     * as an operator looks at each bus. */
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 1500, 900);
    GtkWidget *notebook = grids > 1 ? gtk_notebook_new() : nullptr;
    if (notebook)
        gtk_container_add(GTK_CONTAINER(window), notebook);

    GdkPixbuf *icons[2] = {get_start_type_pixbuf_by_idx(START_TYPE_FOLLOW),
                           get_start_type_pixbuf_by_idx(START_TYPE_MANUAL)};
    int64_t t_build = now_us();
    std::vector<GtkWidget *> grid_list;
    std::vector<run_desc> runs(grids);
    for (int g = 0; g < grids; g++) {
        GtkWidget *grid = make_grid(g, rows, console_columns, icons);
        GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
        gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
        gtk_container_add(GTK_CONTAINER(scrolled), grid);
        if (notebook)
            gtk_notebook_append_page(GTK_NOTEBOOK(notebook), scrolled, nullptr);
        else
            gtk_container_add(GTK_CONTAINER(window), scrolled);
        g_signal_connect(grid, "expose-event", G_CALLBACK(on_expose), &runs[g]);
        g_signal_connect(grid, "expose-event", G_CALLBACK(on_draw), nullptr);
        g_signal_connect_after(grid, "expose-event", G_CALLBACK(on_draw_after), nullptr);
        grid_list.push_back(grid);
    }
    int64_t t_filled = now_us();
    GtkTreeView *view = GTK_TREE_VIEW(grid_list[0]);

    if (notebook && off_screen_hidden)
        g_signal_connect(notebook, "switch-page", G_CALLBACK(follow_page), nullptr);
    int64_t t_show = now_us();
    int64_t deadline = t_show + 300 * 1000000LL;
    gtk_widget_show_all(window);
    holds_desc holds;
    for (int g = 0; g < grids; g++) {
        if (notebook)
            gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook), g);
        while (!runs[g].exposed && now_us() < deadline)
            iterate(&holds);
    }
    run_desc run;
    run.exposed = true;
    run.exposed_at = runs[0].exposed_at;
    int64_t t_last_page = now_us();
    g_idle_add_full(G_PRIORITY_LOW, on_low_idle, &run, nullptr);
    while (!run.idle && now_us() < deadline)
        iterate(&holds);
    int64_t hold_sum = holds.sum;
    /* Anything still to come shows in a further half second. */
    int64_t after_max = 0;
    int64_t settle = now_us() + 500000;
    while (now_us() < settle) {
        g_poll_us = 0;
        int64_t t0 = now_us();
        g_main_context_iteration(nullptr, FALSE);
        after_max = std::max(after_max, now_us() - t0 - g_poll_us);
        g_usleep(1000);
    }

    if (getenv("BENCH_GRID_HOLDS")) { /* every hold over 1 ms, in order */
        for (int64_t h : holds.v)
            if (h > 1000)
                printf("%.1f ", h / 1000.0);
        printf("\n");
    }
    std::vector<GtkTreeViewColumn *> vis = visible_columns(view);
    int64_t longest = holds.v.empty() ? 0 : *std::max_element(holds.v.begin(), holds.v.end());
    int over50 = (int)std::count_if(holds.v.begin(), holds.v.end(), [](int64_t h) { return h > 50000; });
    int over10 = (int)std::count_if(holds.v.begin(), holds.v.end(), [](int64_t h) { return h > 10000; });
    printf("grids %d x rows %d, visible columns %zu, window 1500x900\n", grids, rows, vis.size());
    printf("fill the store                     %8.1f ms\n", (t_filled - t_build) / 1000.0);
    printf("show to first expose of the grid   %8.1f ms\n", run.exposed ? (run.exposed_at - t_show) / 1000.0 : -1.0);
    printf("show to the last page shown        %8.1f ms\n", (t_last_page - t_show) / 1000.0);
    if (run.idle)
        printf("show to every row measured         %8.1f ms\n", (run.idle_at - t_show) / 1000.0);
    else
        printf("rows still being measured after 300 s\n");
    printf("main loop held in all              %8.1f ms over %zu iterations\n", hold_sum / 1000.0, holds.v.size());
    printf("longest single hold                %8.1f ms\n", longest / 1000.0);
    printf("holds over 50 ms / over 10 ms      %5d / %d\n", over50, over10);
    printf("longest hold in the next 0.5 s     %8.1f ms\n", after_max / 1000.0);
    printf("held per row (all holds / rows)    %8.3f ms\n", hold_sum / 1000.0 / rows / grids);
    printf("grid drawn %d times, %.1f ms in all, longest %.1f ms\n", g_draw.count, g_draw.sum / 1000.0,
           g_draw.max / 1000.0);
    direct_desc d = direct_row_us(view, rows);
    printf("per row, direct: cell data         %8.3f ms (%zu columns)\n", d.data_us / 1000.0, vis.size());
    printf("per row, direct: cell sizes        %8.3f ms\n", d.size_us / 1000.0);

    gtk_widget_destroy(window);
    return 0;
}
