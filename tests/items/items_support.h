/* Helpers of the event editing tests: a script of steps run from a main-loop
 * timeout (so also inside the nested loops of running dialogs), finding a
 * dialog by title, keys, and event records read back from a server. */
#pragma once
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "pelmorabox.h"

/* Steps run in order every 20 ms; a step returns true when done, false to
 * be tried again. A step waiting over 15 s fails the test and closes every
 * dialog, so a test never hangs. */
struct items_script
{
    items_script();
    ~items_script();
    void then(std::function<bool()> step) { steps.push_back(std::move(step)); }
    bool done() const { return steps.empty(); }
    /* For a step that opens a dialog of its own (fn runs it): the steps
     * after it run meanwhile. Outside this, steps never overlap. */
    void nested(const std::function<void()> &fn);
    std::deque<std::function<bool()>> steps;
    gint64 since = 0;
    guint source = 0;
    bool in_step = false;
};

/* The visible dialog with that title, or null. */
GtkWidget *items_dialog(const char *title);
/* A key press sent to w through the toolkit (bindings and handlers run). */
gboolean items_key(GtkWidget *w, guint keyval, guint state = 0);
/* The event line's 15 fields of e. */
std::vector<std::string> items_fields(pelmorabox_event_t *e);
/* An event line from a record filled by fill. */
std::string items_line(const std::function<void(pelmorabox_event_t *)> &fill);
/* The event at list index idx of bus 0 on the server at url (caller destroys). */
pelmorabox_event_t *items_server_event(const std::string &url, int idx);
/* The rows under the tree row at path "i" or "i:j" as "name=value". */
std::vector<std::string> items_tree_rows(GtkTreeModel *model, const char *path);
/* The labels of a menu's items (separators as "-"). */
std::vector<std::string> items_menu_labels(GtkWidget *menu);
/* Activates the item labelled label of menu, or of the submenu of the item
 * labelled sub when sub is given: true when found. */
bool items_menu_activate(GtkWidget *menu, const char *label, const char *sub = nullptr);
