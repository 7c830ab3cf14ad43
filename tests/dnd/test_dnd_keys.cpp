// The bus grid and the library tree sit side by side in one window, so a key
// meant for one can land in the other. Every key the library's tree takes is
// found by walking every key value through its handler, and none of them,
// with any modifiers, may run an on-air command on the grid; and every
// on-air key of the grid's table is one the tree does not take.
#include <gtest/gtest.h>

#include <gdk/gdkkeysyms.h>

#include <set>

#include "bus_ctl.h"
#include "gui_loop.h"
#include "lib_console.h"
#include "library_pane.h"
#include "library_ui.h"

namespace {

/* Answers every dialog a library key puts up with reject. */
gboolean close_dialogs(gpointer)
{
    gui_answer_dialogs(GTK_RESPONSE_REJECT);
    return TRUE;
}

class FocusKeys : public LibConsoleTest
{
};

TEST_F(FocusKeys, NoKeyOfTheLibraryTreeIsAnOnAirKeyOfTheGrid)
{
    start_all(1, {{ops_event_line("00:00:20:00", "demo/clip001.mxf", "A0")}});
    ASSERT_TRUE(wait_filled(bus(0), 1));
    library_ui_showhide(lib(), 1);
    /* Nothing selected: the library's operations stop at their questions
     * or before them. */
    gtk_tree_selection_unselect_all(gtk_tree_view_get_selection(tree()));
    guint closer = gdk_threads_add_timeout(20, close_dialogs, nullptr);
    std::set<guint> library_keys;
    for (guint kv = 1; kv <= 0xffff; kv++) {
        GdkEventKey ev = {};
        ev.type = GDK_KEY_PRESS;
        ev.window = gtk_widget_get_window(GTK_WIDGET(tree()));
        ev.keyval = kv;
        if (library_tree_key_press_cb(GTK_WIDGET(tree()), &ev, lib()))
            library_keys.insert(kv);
    }
    g_source_remove(closer);
    ASSERT_GE(library_keys.size(), 4u) << "the walk found none of the library's keys";

    const guint mods[] = {GDK_SHIFT_MASK, GDK_CONTROL_MASK, GDK_MOD1_MASK};
    for (guint kv : library_keys)
        for (guint m = 0; m < 8; m++) {
            guint state = 0;
            for (int i = 0; i < 3; i++)
                if (m & (1u << i))
                    state |= mods[i];
            int button = bus_ctl_key_button(kv, state);
            EXPECT_FALSE(bus_ctl_button_is_onair(button)) << "library key " << gdk_keyval_name(kv) << " (state "
                                                          << state << ") is on-air button " << button << " on the grid";
        }

    const bus_ctl_button_key_t *keys = nullptr;
    size_t n = bus_ctl_button_keys(&keys);
    int onair = 0;
    for (size_t i = 0; i < n; i++) {
        if (!bus_ctl_button_is_onair(keys[i].button))
            continue;
        onair++;
        EXPECT_EQ(library_keys.count(keys[i].key), 0u) << gdk_keyval_name(keys[i].key) << " is taken by the library";
        EXPECT_EQ(bus_ctl_key_button(keys[i].key, keys[i].mods), keys[i].button) << gdk_keyval_name(keys[i].key);
    }
    EXPECT_EQ(onair, 5) << "start, stop, take, jump and fallback each have a key";

    /* The table is what the grid runs: each on-air key puts up its
     * question (start and stop from a key always ask), answered no. */
    e.app->f_immediate_actions_confirm = 1;
    ops_dialogs d;
    for (int i = 0; i < onair; i++)
        d.respond(GTK_RESPONSE_CANCEL);
    size_t mk = mark();
    for (size_t i = 0; i < n; i++) {
        if (bus_ctl_button_is_onair(keys[i].button)) {
            EXPECT_TRUE(ops_send_key(bus(0)->grid, keys[i].key, keys[i].mods)) << gdk_keyval_name(keys[i].key);
        }
    }
    EXPECT_EQ((int)d.seen.size(), onair);
    for (const ops_dialog_seen &q : d.seen)
        EXPECT_EQ(q.text.rfind("Are you sure to ", 0), 0u) << q.text;
    for (const char *m : {"PelmoraBox.Take", "PelmoraBox.TakeN", "PelmoraBox.Fallback", "PelmoraBox.Run"})
        EXPECT_EQ(calls(m, -2, mk), 0) << m;
    EXPECT_EQ(d.unexpected, 0);
}

} // namespace
