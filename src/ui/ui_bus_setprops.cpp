/* Bus properties: the choice of properties, then one update per selected
 * event, the state polling paused for the series. */
#include "ui_bus_setprops.h"

#include <gtk/gtk.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "bus.h"
#include "bus_ctl_call.h"
#include "pelmorabox.h"
#include "strl.h"
#include "ui_bus.h"
#include "ui_dlg.h"

#include "i18n.h"

const char *const props_names[SETPROPS_COUNT] = {"MEDIA TYPE", "START TYPE", "ASSETS",   "METADATA PAIRS",
                                                 "AR",         "AUDIO MAP",  "AUDIO AMP"};

namespace {

/* The first choice offered: the templates and the pairs. */
const int PROPS_DEFAULT = 12;

/* Worker side (no widgets): one update per event, each by its own sys_id.
 * A refused update does not stop the others; the result is the last
 * failure, else 0 with the state of the last update in s. */
int send_updates(const std::string &url, int bus_idx, const std::vector<pelmorabox_event_t *> &events,
                 pelmorabox_bus_state_t *s)
{
    int failed = 0, sent = 0;
    for (pelmorabox_event_t *e : events) {
        pelmorabox_bus_state_t st;
        memset(&st, 0, sizeof st);
        int r = pelmorabox_update_event2(url.c_str(), bus_idx, e->sys_id, e, &st);
        g_warning("%s: pelmorabox_update_event2(%" G_GINT64_FORMAT ")=%d", "ui_bus_setprops", (gint64)e->sys_id, r);
        if (r < 0)
            failed = r;
        else {
            *s = st;
            sent++;
        }
    }
    return failed < 0 ? failed : sent;
}

int choose(bus_t *bus)
{
    GtkWidget *dlg = gtk_dialog_new_with_buttons(_("Properties apply"), nullptr, GTK_DIALOG_MODAL, GTK_STOCK_OK,
                                                 GTK_RESPONSE_ACCEPT, GTK_STOCK_CANCEL, GTK_RESPONSE_REJECT, NULL);
    ui_dlg_place(dlg, bus->app ? bus->app->window : nullptr);
    gtk_window_set_resizable(GTK_WINDOW(dlg), TRUE);
    gtk_widget_set_size_request(dlg, 300, -1);
    gtk_dialog_set_default_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);
    GtkWidget *vbox = gtk_vbox_new(FALSE, 2);
    GtkWidget *checks[SETPROPS_COUNT];
    for (int i = 0; i < SETPROPS_COUNT; i++) {
        checks[i] = gtk_check_button_new_with_label(_(props_names[i]));
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checks[i]), (bus->props_max >> i) & 1);
        gtk_box_pack_start(GTK_BOX(vbox), checks[i], FALSE, FALSE, 0);
        char key[32];
        snprintf(key, sizeof key, "props_check_%d", i);
        g_object_set_data(G_OBJECT(dlg), key, checks[i]);
    }
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), vbox, TRUE, TRUE, 0);
    gtk_widget_show_all(dlg);
    int mask = -1;
    if (gtk_dialog_run(GTK_DIALOG(dlg)) == GTK_RESPONSE_ACCEPT) {
        mask = 0;
        for (int i = 0; i < SETPROPS_COUNT; i++)
            if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(checks[i])))
                mask |= 1 << i;
    }
    gtk_widget_destroy(dlg);
    return mask;
}

} // namespace

pelmorabox_event_t *ui_bus_setprops_apply(pelmorabox_event_t *dst, const pelmorabox_event_t *src, int mask)
{
    if (!dst || !src)
        return dst;
    if (mask & 1)
        dst->event_type = src->event_type;
    if (mask & 2)
        dst->start_type = src->start_type;
    if (mask & 4)
        strlcpy(dst->assets, src->assets, sizeof dst->assets);
    if (mask & 8) {
        pelmorabox_event_clear_meta(dst);
        for (int i = 0; src->metadata_pairs && i < src->metadata_cnt; i++)
            dst = pelmorabox_event_add_meta(dst, src->metadata_pairs[i].key, src->metadata_pairs[i].val);
    }
    if (mask & 16)
        strlcpy(dst->ar, src->ar, sizeof dst->ar);
    if (mask & 32)
        strlcpy(dst->audio_map, src->audio_map, sizeof dst->audio_map);
    if (mask & 64)
        strlcpy(dst->audio_amp, src->audio_amp, sizeof dst->audio_amp);
    return dst;
}

int ui_bus_setprops(bus_t *bus)
{
    return ui_bus_setprops_with(bus, nullptr);
}

int ui_bus_setprops_with(bus_t *bus, ui_bus_setprops_send_t send)
{
    if (!bus || !bus->app)
        return -22;
    if (!bus->props_max)
        bus->props_max = PROPS_DEFAULT;
    instance_t *app = bus->app;
    g_warning("%s: bus->app->clipboard.count=%d", __func__, app->clipboard.count);
    if (app->clipboard.count != 1 || !app->clipboard.list[0])
        return 0;
    int mask = choose(bus);
    if (mask < 0)
        return 0;
    g_warning("%s: applying properties", __func__);
    bus->props_max = mask;
    /* Every selected row, those far from view (no record kept) read from
     * the server first: all of them or, when some cannot be read, none. */
    std::vector<pelmorabox_event_t *> events;
    if (bus_ctl_selected_events(bus, SIZE_MAX, _("PROPERTIES"), &events, nullptr) < 0)
        return 0;
    /* The clipboard may change while the updates are out: its own copy. */
    pelmorabox_event_t *src = pelmorabox_event_clone(app->clipboard.list[0]);
    for (pelmorabox_event_t *&e : events)
        e = ui_bus_setprops_apply(e, src, mask);
    pelmorabox_event_destroy(&src);
    /* A row whose copy could not be made is not skipped unsaid. */
    size_t lost = (size_t)std::count(events.begin(), events.end(), nullptr);
    if (lost) {
        for (pelmorabox_event_t *&e : events)
            if (e)
                pelmorabox_event_destroy(&e);
        bus_ctl_show_failure(bus, "Out of memory: no properties were applied.", -12);
        return 0;
    }
    if (!events.empty()) {
        std::string url = bus->url;
        int idx = bus->idx;
        int *ign = &bus->state.ign;
        __atomic_store_n(ign, 1, __ATOMIC_RELEASE);
        (send ? send : bus_ctl_command)(bus, _("PROPERTIES"), [&](pelmorabox_bus_state_t *s, std::string *) {
            int r = send_updates(url, idx, events, s);
            /* Polling resumes before the last update's state is applied. */
            __atomic_store_n(ign, 0, __ATOMIC_RELEASE);
            return r < 0 ? r : 0;
        });
        __atomic_store_n(ign, 0, __ATOMIC_RELEASE);
    }
    for (pelmorabox_event_t *&e : events)
        pelmorabox_event_destroy(&e);
    return 0;
}
