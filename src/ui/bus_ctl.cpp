/* Bus commands, confirmations, the clipboard and the grid's keys. Every
 * server call runs on a worker while the main loop goes on; a good answer's
 * state is applied at once, a failure or a missing answer is said on the
 * bus's notice line. */
#include "bus_ctl.h"

#include <gdk/gdkkeysyms.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bus.h"
#include "gdk_unlock.h"
#include "pelmorabox.h"
#include "ui_bus.h"
#include "ui_bus_dialogs.h"
#include "ui_bus_setprops.h"
#include "ui_dlg.h"
#include "ui_search.h"

#include "i18n.h"

namespace {

int (*open_proc)(const char *uri) = nullptr;

/* An operator action in progress on a bus: a nested main loop (a modal
 * question, a command waiting for its server) must not start a second
 * action on the same bus. */
struct busy_guard_desc
{
    bus_t *bus;
    bool taken;
    explicit busy_guard_desc(bus_t *b) : bus(b), taken(!b->rt.busy) { b->rt.busy = 1; }
    ~busy_guard_desc()
    {
        if (taken)
            bus->rt.busy = 0;
    }
    busy_guard_desc(const busy_guard_desc &) = delete;
    busy_guard_desc &operator=(const busy_guard_desc &) = delete;
};

guint32 repeat_guard_ms()
{
    gint dbl = 0;
    GtkSettings *st = gtk_settings_get_default();
    if (st)
        g_object_get(st, "gtk-double-click-time", &dbl, NULL);
    return (guint32)std::max(dbl, BUS_CTL_REPEAT_GUARD_MS);
}

/* True when this press is the second half of a double click, or a repeat
 * of a held key, on the same button: the command went out with the first.
 * Every press counts as seen, so a held key stays quiet until released. */
bool repeated_press(bus_t *bus, int id, guint32 t)
{
    if (t == GDK_CURRENT_TIME || id <= 0 || id >= BUS_CONTROL_BUTTONS)
        return false;
    guint32 prev = bus->rt.last_click[id];
    bus->rt.last_click[id] = t;
    return prev && t >= prev && t - prev < repeat_guard_ms();
}

int ask(const char *question)
{
    return ui_dialog_ok_cancel(_(question));
}

/* A command without choices of its own. */
int plain_command(bus_t *bus, const char *what, std::function<int(pelmorabox_bus_state_t *)> call)
{
    return bus_ctl_command(bus, what, [&call](pelmorabox_bus_state_t *s, std::string *) { return call(s); });
}

/* The jump names its target by list index, and the list moves on its own
 * (events play out, the panel's copy of the list lags up to a poll behind).
 * The event the operator selected is looked for at the server at its index
 * and at the places above it that it may have moved up to; the jump goes to
 * where it is now, or is not sent when it has left the list. Worker thread. */
int take_n_selected(const char *url, int bus_idx, int idx, int64_t sys_id, pelmorabox_bus_state_t *s, std::string *why)
{
    if (sys_id <= 0)
        return pelmorabox_take_n(url, bus_idx, idx, s);
    int n = std::min(idx + 1, BUS_FETCH_MAX);
    int64_t asked[BUS_FETCH_MAX];
    pelmorabox_event_t *got[BUS_FETCH_MAX] = {};
    for (int i = 0; i < n; i++)
        asked[i] = idx - i;
    pelmorabox_bus_state_t now;
    memset(&now, 0, sizeof(now));
    int r = pelmorabox_get_events2(url, bus_idx, n, asked, got, &now);
    if (r < 0)
        return r;
    int at = -1;
    for (int k = 0; k < std::min(r, n); k++) {
        if (got[k] && got[k]->sys_id == sys_id && at < 0 && asked[k] >= 0 && asked[k] <= idx)
            at = (int)asked[k];
    }
    for (pelmorabox_event_t *&e : got)
        if (e)
            pelmorabox_event_destroy(&e);
    if (at < 0) {
        *why = _("the selected event is no longer in the list");
        *s = now;
        return -2;
    }
    if (at != idx)
        g_warning("%s: selected event sys_id=%" PRId64 " moved from %d to %d", "bus_ctl_take_n", sys_id, idx, at);
    return pelmorabox_take_n(url, bus_idx, at, s);
}

int open_help(bus_t *bus)
{
    char path[4096];
    bus_ctl_help_path(path, sizeof(path));
    g_warning("%s: help will show [%s]", "on_button_click", path);
    GtkWidget *top = bus && bus->app ? bus->app->window : nullptr;
    if (!g_file_test(path, G_FILE_TEST_IS_REGULAR)) {
        g_warning("%s: [%s] not found", __func__, path);
        char text[4200];
        snprintf(text, sizeof(text), _("The operator's guide was not found:\n%s"), path);
        ui_show_error(top, _("ERROR"), text);
        return -2;
    }
    gchar *uri = g_filename_to_uri(path, nullptr, nullptr);
    if (!uri) {
        g_warning("%s: [%s] is not a usable file name", __func__, path);
        return -22;
    }
    int r = open_proc ? open_proc(uri) : bus_ctl_open_uri(uri);
    g_free(uri);
    if (r < 0) {
        char text[4200];
        snprintf(text, sizeof(text), _("No program to show the operator's guide could be started:\n%s"), path);
        ui_show_error(top, _("ERROR"), text);
    }
    return r;
}

int open_company(void)
{
    g_warning("%s: vendor page [%s]", "on_button_click", BUS_CTL_COMPANY_URL);
    return open_proc ? open_proc(BUS_CTL_COMPANY_URL) : bus_ctl_open_uri(BUS_CTL_COMPANY_URL);
}

/* Ctrl+P: the properties of the clipboard's event onto the selection, the
 * updates sent as one command of the bus. */
int setprops(bus_t *bus)
{
    return ui_bus_setprops_with(bus, bus_ctl_command);
}

} // namespace

/* ---- Desktop "open". ---- */

int bus_ctl_open_uri(const char *uri)
{
    if (!uri || !*uri)
        return -22;
    GError *err = nullptr;
    if (gtk_show_uri(gdk_screen_get_default(), uri, GDK_CURRENT_TIME, &err))
        return 0;
    g_warning("%s: gtk_show_uri([%s]) failed: %s; trying xdg-open", __func__, uri, err ? err->message : "");
    if (err)
        g_error_free(err);
    err = nullptr;
    gchar *argv[] = {const_cast<gchar *>("xdg-open"), const_cast<gchar *>(uri), nullptr};
    if (g_spawn_async(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, &err))
        return 0;
    g_warning("%s: xdg-open [%s] failed: %s", __func__, uri, err ? err->message : "");
    if (err)
        g_error_free(err);
    return -2;
}

void bus_ctl_set_open_proc(int (*proc)(const char *uri))
{
    open_proc = proc;
}

char *bus_ctl_help_path(char *buf, size_t size)
{
    if (!buf || !size)
        return buf;
    const char *dir = instance_bin_dir();
    snprintf(buf, size, "%s/%s", dir && *dir ? dir : ".", BUS_CTL_HELP_FILE);
    return buf;
}

/* ---- Channel commands. ---- */

int bus_ctl(bus_t *bus, int f_run)
{
    if (!bus)
        return -22;
    return plain_command(bus, f_run ? "START" : "STOP",
                         [&](pelmorabox_bus_state_t *s) { return pelmorabox_run(bus->url, bus->idx, f_run, s); });
}

int bus_ctl_start(bus_t *bus)
{
    return bus_ctl(bus, 1);
}

int bus_ctl_stop(bus_t *bus)
{
    return bus_ctl(bus, 0);
}

int bus_ctl_take(bus_t *bus)
{
    if (!bus)
        return -22;
    return plain_command(bus, "TAKE",
                         [&](pelmorabox_bus_state_t *s) { return pelmorabox_take(bus->url, bus->idx, s); });
}

int bus_ctl_take_n(bus_t *bus)
{
    if (!bus)
        return -22;
    pelmorabox_event_t *e = nullptr;
    int idx = bus_ui_selected_idx(bus, &e);
    int64_t sys_id = e ? e->sys_id : (int64_t)-1;
    g_warning("%s: idx=[%d], sys_id=[%" PRId64 "]", "bus_ctl_take_n", idx, sys_id);
    /* A jump needs a target: without a selection there is nothing to send. */
    if (idx < 0) {
        bus_ctl_notice_failure(bus, "JUMP", -2, _("no event is selected"));
        return 0;
    }
    bus_ctl_command(bus, "JUMP", [bus, idx, sys_id](pelmorabox_bus_state_t *s, std::string *why) {
        return take_n_selected(bus->url, bus->idx, idx, sys_id, s, why);
    });
    return 0;
}

int bus_ctl_fallback(bus_t *bus)
{
    if (!bus)
        return -22;
    g_warning("%s", "bus_ctl_fallback");
    plain_command(bus, "FALLBACK",
                  [&](pelmorabox_bus_state_t *s) { return pelmorabox_fallback(bus->url, bus->idx, s); });
    return 0;
}

/* ---- Clipboard. ---- */

int bus_clipboard_copy(bus_t *bus)
{
    if (!bus || !bus->app || !bus->grid)
        return -22;
    instance_t *app = bus->app;
    std::vector<pelmorabox_event_t *> picked;
    /* The clipboard stays as it was when the copy cannot be complete. */
    int r = bus_ctl_selected_events(bus, INSTANCE_CLIPBOARD_MAX, _("COPY"), &picked, nullptr);
    if (r < 0)
        return r;

    app->clipboard.count = 0;
    for (pelmorabox_event_t *e : picked) {
        if (!e)
            continue;
        pelmorabox_event_t **slot = &app->clipboard.list[app->clipboard.count];
        if (*slot)
            pelmorabox_event_destroy(slot);
        *slot = e;
        app->clipboard.count++;
    }
    g_warning("%s: count=%d", __func__, app->clipboard.count);
    return 0;
}

namespace {

/* "N. title [media]" of the inserts listed, at most BUS_CTL_PASTE_REPORT_MAX
 * of them, then how many more. */
std::string paste_entries(const std::vector<pelmorabox_event_t *> &events, const std::vector<int> &which)
{
    std::string text;
    char line[700];
    for (size_t k = 0; k < which.size(); k++) {
        if (k == BUS_CTL_PASTE_REPORT_MAX) {
            snprintf(line, sizeof(line), _("; ... and %d more"), (int)(which.size() - k));
            text += line;
            break;
        }
        const pelmorabox_event_t *e = events[(size_t)which[k]];
        snprintf(line, sizeof(line), "%s%d. %s [%s]", k ? "; " : " ", which[k] + 1, e->title, e->media_id);
        text += line;
    }
    return text;
}

/* Says on the bus's notice line which inserts of a paste did not go in, and
 * which got no answer (the server may still have inserted them): the events
 * that did go in stay, so the operator must know which ones to look for. */
void bus_ctl_report_paste(bus_t *bus, const std::vector<pelmorabox_event_t *> &events, const std::vector<int> &results)
{
    int cnt = (int)events.size();
    std::vector<int> refused, unknown;
    int last_refusal = 0;
    for (int i = 0; i < cnt; i++) {
        if (results[(size_t)i] == -14)
            unknown.push_back(i);
        else if (results[(size_t)i] < 0) {
            refused.push_back(i);
            last_refusal = results[(size_t)i];
        }
    }
    if (refused.empty() && unknown.empty())
        return;
    const char *server = bus->host[0] ? bus->host : bus->url;
    std::string text = _("PASTE");
    char line[700];
    if (!refused.empty()) {
        snprintf(line, sizeof(line), _(": %d of the %d pasted events were not inserted, refused by %s (%s, %d):"),
                 (int)refused.size(), cnt, server, g_strerror(-last_refusal), last_refusal);
        text += line + paste_entries(events, refused);
    }
    if (!unknown.empty()) {
        snprintf(line, sizeof(line),
                 _("%s %d of the %d pasted events got no answer from %s, they may still be inserted; the list "
                   "shows what the server did:"),
                 refused.empty() ? ":" : ";", (int)unknown.size(), cnt, server);
        text += line + paste_entries(events, unknown);
    }
    g_warning("%s: %d of %d inserts refused, %d without an answer: %s", "bus_clipboard_paste", (int)refused.size(), cnt,
              (int)unknown.size(), text.c_str());
    bus_ui_notice(bus, text.c_str(), BUS_UI_NOTICE_FAILED);
}

} // namespace

int bus_clipboard_paste(bus_t *bus)
{
    if (!bus || !bus->app)
        return -22;
    instance_t *app = bus->app;
    /* Copies of their own: a copy on another bus may refill the clipboard
     * while the inserts are out. */
    std::vector<pelmorabox_event_t *> events;
    for (int i = 0; i < app->clipboard.count; i++)
        if (pelmorabox_event_t *e = app->clipboard.list[i] ? pelmorabox_event_clone(app->clipboard.list[i]) : nullptr)
            events.push_back(e);
    if (events.empty())
        return 0;
    int64_t at = bus_ui_selected_sys_id(bus, nullptr);
    std::string url = bus->url;
    int bus_idx = bus->idx;
    std::vector<int> results(events.size(), -14);
    bool ran = false;
    int *ign = &bus->state.ign;
    /* No state polled in the middle of the series may reach the panel. */
    __atomic_store_n(ign, 1, __ATOMIC_RELEASE);
    int r = bus_ctl_command(bus, _("PASTE"), [&](pelmorabox_bus_state_t *s, std::string *) {
        ran = true;
        for (size_t i = 0; i < events.size(); i++) {
            pelmorabox_bus_state_t st;
            memset(&st, 0, sizeof(st));
            results[i] = pelmorabox_insert_event2(url.c_str(), bus_idx, at, events[i], &st);
            g_warning("%s: pelmorabox_insert_event2=%d", "bus_clipboard_paste", results[i]);
            if (results[i] >= 0)
                *s = st;
        }
        /* Polling resumes before the last insert's state is applied. */
        __atomic_store_n(ign, 0, __ATOMIC_RELEASE);
        /* Only the last insert's state shows the whole series. */
        return results.back() < 0 ? results.back() : 0;
    });
    __atomic_store_n(ign, 0, __ATOMIC_RELEASE);
    if (!ran)
        bus_ctl_notice_busy(bus, _("PASTE"));
    else if (!instance_stopping(app))
        bus_ctl_report_paste(bus, events, results);
    for (pelmorabox_event_t *&e : events)
        pelmorabox_event_destroy(&e);
    (void)r;
    return 0;
}

/* ---- Buttons. ---- */

namespace {

/* The action of panel button id (1..25), as a click on it would run it.
 * Starting or stopping a bus from the keyboard always asks first: a key is
 * pressed by mistake far more easily than a button. */
void button_action(bus_t *bus, int id, bool from_key = false)
{
    const instance_t *app = bus->app;
    switch (id) {
    case BUTTON_LIST_ITEM_ADD:
        bus_ui_dialog_edit(bus, 1);
        break;
    case BUTTON_LIST_ITEM_DEL:
        bus_ui_dialog_delete(bus);
        break;
    case BUTTON_LIST_ITEM_EDIT:
        bus_ui_dialog_edit(bus, 0);
        break;
    case BUTTON_LIST_ITEM_PREVIEW:
        bus_ui_preview(bus);
        break;
    case BUTTON_LIST_OPEN:
        bus_ui_dialog_load_playlist(bus);
        break;
    case BUTTON_LIST_CLOSE:
        bus_ui_dialog_close_playlist(bus);
        break;
    case BUTTON_LIST_APPEND:
        bus_ui_dialog_append_playlist(bus);
        break;
    case BUTTON_LIST_TRUNCATE_ABOVE:
        bus_ui_truncate_playlist(bus, 0);
        break;
    case BUTTON_LIST_TRUNCATE_BELOW:
        bus_ui_truncate_playlist(bus, 1);
        break;
    case BUTTON_LIST_SAVEAS:
        bus_ui_dialog_saveas_playlist(bus);
        break;
    case BUTTON_LIST_BUS_ABSENT_ITEMS:
        bus_ui_dialog_errorflag_items(bus, 0x80);
        break;
    case BUTTON_LIST_BUS_ERROR_ITEMS:
        bus_ui_dialog_errorflag_items(bus, app && app->f_ab_subclip_is_error ? 0x2000500 : 0x2000100);
        break;
    case BUTTON_CHANNEL_START:
        if (!(from_key || (app && app->f_bus_start_stop_confirm)) || ask("Are you sure to START bus"))
            bus_ctl(bus, 1);
        break;
    case BUTTON_CHANNEL_STOP:
        if (!(from_key || (app && app->f_bus_start_stop_confirm)) || ask("Are you sure to STOP bus"))
            bus_ctl(bus, 0);
        break;
    case BUTTON_HELP:
        open_help(bus);
        break;
    case BUTTON_COMPANY:
        open_company();
        break;
    case BUTTON_LIST_TAKE:
        if (!(app && app->f_immediate_actions_confirm) || ask("Are you sure to TAKE?"))
            bus_ctl_take(bus);
        break;
    case BUTTON_LIST_TAKE_N:
        if (!(app && app->f_immediate_actions_confirm) || ask("Are you sure to JUMP?"))
            bus_ctl_take_n(bus);
        break;
    case BUTTON_LIST_FALLBACK:
        if (!(app && app->f_immediate_actions_confirm) || ask("Are you sure to FALLBACK?"))
            bus_ctl_fallback(bus);
        break;
    default:
        g_warning("on_button_click: unknow button clicked on bus %d", bus->idx);
        break;
    }
}

/* A button's name for the notice line: its tooltip, as the operator knows
 * it. */
std::string button_name(bus_t *bus, int id)
{
    GtkWidget *b = id > 0 && id < BUTTON_LAST ? bus->buttons[id] : nullptr;
    gchar *tip = b ? gtk_widget_get_tooltip_text(b) : nullptr;
    std::string name = tip && *tip ? tip : _("COMMAND");
    g_free(tip);
    return name;
}

/* One action per bus: a press while another runs (a command waiting for
 * its server, a question open) is refused, and the operator told so on the
 * notice line rather than left wondering why nothing happened. */
void refuse_busy(bus_t *bus, const std::string &what)
{
    g_warning("%s: bus %d is busy with another action, %s ignored", "on_button_click", bus->idx, what.c_str());
    bus_ctl_notice_busy(bus, what.c_str());
}

/* The repeat guard and the one-action-per-bus rule, then the action. */
void guarded_button_action(bus_t *bus, int id, guint32 t, bool from_key = false)
{
    if (repeated_press(bus, id, t)) {
        g_warning("%s: second press of button %d on bus %d ignored", "on_button_click", id, bus->idx);
        return;
    }
    busy_guard_desc busy(bus);
    if (!busy.taken) {
        refuse_busy(bus, button_name(bus, id));
        return;
    }
    button_action(bus, id, from_key);
}

} // namespace

gboolean on_button_click(GtkWidget *button, gpointer user_data)
{
    bus_t *bus = static_cast<bus_t *>(user_data);
    if (!bus || !button)
        return FALSE;
    int id = 0;
    for (int i = 1; i < BUTTON_LAST; i++)
        if (bus->buttons[i] == button) {
            id = i;
            break;
        }
    if (!id)
        return FALSE;
    guarded_button_action(bus, id, gtk_get_current_event_time());
    return TRUE;
}

/* ---- Keys on the grid. ---- */

namespace {

/* Keys of the buttons that have none of their own, so that a show can be
 * run from the keyboard alone; they act as a click on the button would,
 * confirmations included. The channel commands keep off every key the
 * library's tree binds (F2, F6 to F8, Insert, Delete, BackSpace): with the
 * focus in the wrong place a library key must do nothing on air. */
const bus_ctl_button_key_t button_keys[] = {
    {GDK_KEY_F1, 0, BUTTON_HELP},
    {GDK_KEY_F5, 0, BUTTON_LIST_TAKE},
    {GDK_KEY_F9, 0, BUTTON_CHANNEL_STOP},
    {GDK_KEY_F10, 0, BUTTON_LIST_TAKE_N},
    {GDK_KEY_F11, 0, BUTTON_LIST_FALLBACK},
    {GDK_KEY_F12, 0, BUTTON_CHANNEL_START},
    {GDK_KEY_a, GDK_MOD1_MASK, BUTTON_LIST_APPEND},
    {GDK_KEY_c, GDK_MOD1_MASK, BUTTON_LIST_CLOSE},
    {GDK_KEY_Up, GDK_MOD1_MASK, BUTTON_LIST_TRUNCATE_ABOVE},
    {GDK_KEY_KP_Up, GDK_MOD1_MASK, BUTTON_LIST_TRUNCATE_ABOVE},
    {GDK_KEY_Down, GDK_MOD1_MASK, BUTTON_LIST_TRUNCATE_BELOW},
    {GDK_KEY_KP_Down, GDK_MOD1_MASK, BUTTON_LIST_TRUNCATE_BELOW},
    {GDK_KEY_m, GDK_MOD1_MASK, BUTTON_LIST_BUS_ABSENT_ITEMS},
    {GDK_KEY_r, GDK_MOD1_MASK, BUTTON_LIST_BUS_ERROR_ITEMS},
    {GDK_KEY_p, GDK_MOD1_MASK, BUTTON_LIST_ITEM_PREVIEW},
};

/* Shift does not matter; Ctrl never (Ctrl keys are the editing keys). */
int button_of_key(guint key, bool alt)
{
    for (const bus_ctl_button_key_t &k : button_keys)
        if (k.key == key && ((k.mods & GDK_MOD1_MASK) != 0) == alt)
            return k.button;
    return 0;
}

/* The grid's editing keys. Keys that do what a panel button does run the
 * button's action (without its repeat guard: a held key repeats on
 * purpose); the others have their own. */
enum grid_key_mods
{
    KEY_CTRL = 1,  /* with Ctrl */
    KEY_PLAIN = 2, /* without Ctrl and Alt */
    KEY_SHIFT = 4, /* with Shift */
    KEY_ANY = 8    /* whatever the modifiers */
};

struct grid_key_desc
{
    guint key;
    int mods;
    int button;
    int (*action)(bus_t *bus);
    const char *name; /* of the action, untranslated */
};

const grid_key_desc grid_keys[] = {
    {GDK_KEY_c, KEY_CTRL, 0, bus_clipboard_copy, N_("COPY")},
    /* A cut whose copy failed deletes nothing: the events would be lost. */
    {GDK_KEY_x, KEY_CTRL, 0, [](bus_t *b) { return bus_clipboard_copy(b) < 0 ? 0 : bus_ui_dialog_delete(b); },
     N_("CUT")},
    {GDK_KEY_v, KEY_CTRL, 0, bus_clipboard_paste, N_("PASTE")},
    {GDK_KEY_e, KEY_PLAIN, BUTTON_LIST_ITEM_EDIT, nullptr, nullptr},
    {GDK_KEY_Return, KEY_ANY, BUTTON_LIST_ITEM_EDIT, nullptr, nullptr},
    {GDK_KEY_KP_Enter, KEY_ANY, BUTTON_LIST_ITEM_EDIT, nullptr, nullptr},
    {GDK_KEY_Insert, KEY_ANY, BUTTON_LIST_ITEM_ADD, nullptr, nullptr},
    {GDK_KEY_KP_Insert, KEY_ANY, BUTTON_LIST_ITEM_ADD, nullptr, nullptr},
    {GDK_KEY_Delete, KEY_ANY, BUTTON_LIST_ITEM_DEL, nullptr, nullptr},
    {GDK_KEY_KP_Delete, KEY_ANY, BUTTON_LIST_ITEM_DEL, nullptr, nullptr},
    {GDK_KEY_BackSpace, KEY_SHIFT, 0, bus_ui_reset_tc, N_("RESET TC")},
    {GDK_KEY_f, KEY_CTRL, 0, ui_search_show, N_("SEARCH")},
    {GDK_KEY_F3, KEY_ANY, 0, ui_search_next, N_("SEARCH NEXT")},
    {GDK_KEY_o, KEY_CTRL, BUTTON_LIST_OPEN, nullptr, nullptr},
    {GDK_KEY_s, KEY_CTRL, BUTTON_LIST_SAVEAS, nullptr, nullptr},
    {GDK_KEY_p, KEY_CTRL, 0, setprops, N_("PROPERTIES")},
    {GDK_KEY_q, KEY_CTRL, 0, bus_ui_dialog_selection_info, N_("SELECTION INFO")},
};

const grid_key_desc *grid_key_lookup(guint key, bool ctrl, bool shift, bool alt)
{
    for (const grid_key_desc &k : grid_keys) {
        if (k.key != key)
            continue;
        bool ok = (k.mods & KEY_ANY) || ((k.mods & KEY_CTRL) && ctrl) || ((k.mods & KEY_PLAIN) && !ctrl && !alt) ||
                  ((k.mods & KEY_SHIFT) && shift);
        return ok ? &k : nullptr;
    }
    return nullptr;
}

bool show_bus_page(bus_t *bus, guint key)
{
    instance_t *app = bus->app;
    if (!app || key < GDK_KEY_1 || key > GDK_KEY_8)
        return false;
    int n = (int)(key - GDK_KEY_1);
    if (n >= app->bus.count || !app->apps_notebook)
        return false;
    gtk_notebook_set_current_page(GTK_NOTEBOOK(app->apps_notebook), n);
    if (GtkWidget *grid = app->bus.list[n].grid)
        gtk_widget_grab_focus(grid);
    return true;
}

} // namespace

size_t bus_ctl_button_keys(const bus_ctl_button_key_t **keys)
{
    if (keys)
        *keys = button_keys;
    return sizeof(button_keys) / sizeof(button_keys[0]);
}

int bus_ctl_key_button(guint keyval, guint state)
{
    bool ctrl = (state & GDK_CONTROL_MASK) != 0;
    bool shift = (state & GDK_SHIFT_MASK) != 0;
    bool alt = (state & GDK_MOD1_MASK) != 0;
    guint key = gdk_keyval_to_lower(keyval);
    if (!ctrl)
        if (int id = button_of_key(key, alt))
            return id;
    const grid_key_desc *k = grid_key_lookup(key, ctrl, shift, alt);
    return k ? k->button : 0;
}

int bus_ctl_button_is_onair(int id)
{
    return id == BUTTON_CHANNEL_START || id == BUTTON_CHANNEL_STOP || id == BUTTON_LIST_TAKE ||
           id == BUTTON_LIST_TAKE_N || id == BUTTON_LIST_FALLBACK;
}

gboolean on_grid_key_press_event(GtkWidget *widget, GdkEventKey *event, gpointer user_data)
{
    (void)widget;
    bus_t *bus = static_cast<bus_t *>(user_data);
    if (!bus || !event)
        return FALSE;
    bool ctrl = (event->state & GDK_CONTROL_MASK) != 0;
    bool shift = (event->state & GDK_SHIFT_MASK) != 0;
    bool alt = (event->state & GDK_MOD1_MASK) != 0;
    guint key = gdk_keyval_to_lower(event->keyval);

    if (!ctrl) {
        if (alt && show_bus_page(bus, key))
            return TRUE;
        if (int id = button_of_key(key, alt)) {
            guarded_button_action(bus, id, event->time, true);
            return TRUE;
        }
    }

    /* Which action, if any: decided before anything runs so that a key the
     * grid should handle is passed on untouched. */
    const grid_key_desc *k = grid_key_lookup(key, ctrl, shift, alt);
    if (!k)
        return FALSE;

    busy_guard_desc busy(bus);
    if (!busy.taken) {
        refuse_busy(bus, k->button ? button_name(bus, k->button) : std::string(_(k->name)));
        return TRUE;
    }
    if (k->button)
        button_action(bus, k->button);
    else
        k->action(bus);
    return TRUE;
}

namespace {

gboolean on_grid_button_press_event(GtkWidget *widget, GdkEventButton *event, gpointer user_data)
{
    (void)widget;
    bus_t *bus = static_cast<bus_t *>(user_data);
    if (event->type == GDK_2BUTTON_PRESS && event->button == 1) {
        bus_ui_dialog_edit(bus, 0);
        return TRUE;
    }
    return FALSE;
}

} // namespace

void bus_ctl_attach(bus_t *bus)
{
    if (GtkWidget *grid = bus->grid) {
        gtk_widget_add_events(grid, GDK_KEY_PRESS_MASK | GDK_BUTTON_PRESS_MASK);
        g_signal_connect(grid, "key-press-event", G_CALLBACK(on_grid_key_press_event), bus);
        g_signal_connect(grid, "button-press-event", G_CALLBACK(on_grid_button_press_event), bus);
    }
    for (int i = 0; i < BUTTON_LAST; i++)
        if (bus->buttons[i])
            g_signal_connect(bus->buttons[i], "clicked", G_CALLBACK(on_button_click), bus);
}
