/* Harness of the library pane and drag-and-drop tests: pelmora-sim with an
 * automation and a library server over sample media made at test time, the
 * real console window with every bus's library started as start-up starts
 * it, readers of library rows by path, and real pointer drags made by
 * xdotool on the test's display while the main loop runs. */
#pragma once
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "library.h"
#include "ops_support.h"

class LibConsoleTest : public OpsTest
{
  protected:
    void TearDown() override;
    /* Media (scripts/make-media --quick, plus `links` hard links of the 10 s
     * clip in /many), the simulator with playlists (name -> lines, playlist
     * i on bus i), the console with `buses` buses on that library and
     * console_extra after them (bus options apply to the last bus). */
    void start_all(int buses, const std::vector<std::vector<std::string>> &playlists, int links = 0,
                   std::vector<std::string> console_extra = {});
    library_t *lib(int i = 0) { return &bus(i)->lib; }
    GtkTreeView *tree(int i = 0);
    /* Opens the folders leading to path and selects its row. */
    bool select_path(int bus_i, const char *path, int ms = 8000);
    /* Opens the folder or item row at path and waits until its children are
     * in (not the placeholder). */
    bool open_path(int bus_i, const char *path, int ms = 8000);
    /* The row of path (folders and items by full path; "ITEM#TITLE" for a
     * subclip of ITEM), in the tree as it is. */
    bool row(int bus_i, const std::string &path, GtkTreeIter *out);
    void select_rows(int bus_i, const std::vector<std::string> &paths);
    /* Screen position of the middle of the row (or of the space below the
     * last row with row -1) of a tree view. */
    void row_point(GtkTreeView *view, GtkTreePath *p, int *x, int *y);
    /* A press at (x0, y0), a pointer moved in steps to (x1, y1) (through
     * (via_x, via_y) with a rest there when given), and a release: run by
     * xdotool while the main loop goes on. */
    bool x_drag(int x0, int y0, int x1, int y1, int via_x = -1, int via_y = -1);

    std::string root;
    std::thread notifier;
    std::atomic<bool> stopping{false};
};
