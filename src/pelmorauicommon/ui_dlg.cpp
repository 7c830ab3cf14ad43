/* Modal dialogs and their worker-thread forms. */
#include "ui_dlg.h"

#include <gdk/gdkx.h>
#include <string.h>

#include <string>

#include "gdk_unlock.h"
#include "strl.h"
#include "ui_tools.h"

namespace {

const int INPUT_SIZE = 260;

/* Bounded copy that never ends inside a multi-byte character. */
void copy_utf8(char *dst, const char *src, size_t size)
{
    strlcpy(dst, src, size);
    size_t n = strlen(dst);
    if (n + 1 < size || !g_utf8_validate(src, -1, nullptr))
        return;
    const char *end = dst + n;
    if (!g_utf8_validate(dst, -1, nullptr)) {
        const char *last = g_utf8_find_prev_char(dst, end);
        dst[last ? last - dst : 0] = 0;
    }
}

/* The thread that runs the default main loop must not wait for it. */
bool on_main_loop_thread()
{
    return g_main_context_is_owner(g_main_context_default());
}

void wait_done(volatile gint *f_done)
{
    while (!g_atomic_int_get(f_done))
        g_usleep(40000);
}

gboolean show_error_idle(gpointer data)
{
    auto *ctx = (ui_show_error_async_t *)data;
    int r;
    {
        gdk_lock_guard locked;
        r = ui_show_error(ctx->window, ctx->title, ctx->message);
        gdk_flush();
    }
    ctx->result = r;
    g_atomic_int_set(&ctx->f_done, 1);
    return FALSE;
}

gboolean ok_cancel_idle(gpointer data)
{
    auto *ctx = (ui_dialog_ok_cancel_t *)data;
    g_warning("ui_dialog_ok_cancel_async: async=%p", data);
    int r;
    {
        gdk_lock_guard locked;
        r = ui_dialog_ok_cancel(ctx->msg);
        gdk_flush();
    }
    g_warning("ui_dialog_ok_cancel_async: exited from ui_dialog_ok_cancel");
    ctx->result = r;
    g_atomic_int_set(&ctx->f_done, 1);
    return FALSE;
}

gboolean input_idle(gpointer data)
{
    auto *ctx = (ui_dialog_input_t *)data;
    g_warning("ui_dialog_input_async: async=%p", data);
    int r;
    {
        gdk_lock_guard locked;
        r = ui_dialog_input(ctx->msg, ctx->len, ctx->input);
        gdk_flush();
    }
    g_warning("ui_dialog_input_async: exited from ui_dialog_input_t");
    ctx->result = r;
    g_atomic_int_set(&ctx->f_done, 1);
    return FALSE;
}

/* The application's main window, over which dialogs without a window of
 * their own open (cleared when it goes). */
GtkWidget *default_parent;

GtkWindow *parent_of(GtkWidget *window)
{
    if (!window)
        window = default_parent;
    if (!window)
        return nullptr;
    GtkWidget *top = gtk_widget_get_toplevel(window);
    return GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr;
}

} // namespace

void ui_dlg_set_default_parent(GtkWidget *window)
{
    if (default_parent)
        g_object_remove_weak_pointer(G_OBJECT(default_parent), (gpointer *)&default_parent);
    default_parent = window;
    if (default_parent)
        g_object_add_weak_pointer(G_OBJECT(default_parent), (gpointer *)&default_parent);
}

void ui_dlg_place(GtkWidget *dlg, GtkWidget *window)
{
    if (!dlg || !GTK_IS_WINDOW(dlg))
        return;
    GtkWindow *parent = parent_of(window);
    if (parent && parent != GTK_WINDOW(dlg)) {
        gtk_window_set_transient_for(GTK_WINDOW(dlg), parent);
        gtk_window_set_position(GTK_WINDOW(dlg), GTK_WIN_POS_CENTER_ON_PARENT);
    } else {
        gtk_window_set_position(GTK_WINDOW(dlg), GTK_WIN_POS_CENTER);
    }
}

namespace {

/* Room the window manager's frame takes around a window: none on a bare X
 * server, a title bar and borders under a window manager. */
void frame_allowance(GdkScreen *screen, int *w, int *h)
{
    const char *wm = gdk_x11_screen_get_window_manager_name(screen);
    bool managed = wm && strcmp(wm, "unknown");
    *w = managed ? 16 : 0;
    *h = managed ? 40 : 0;
}

/* How far a fitted dialog's scrolled content may grow, and what the dialog
 * adds around it. */
struct ui_dlg_fit_desc
{
    GtkWidget *inner;
    int max_w, max_h;
    int over_w, over_h;
    bool measuring; /* asks for nothing while the dialog's own part is measured */
};

/* The scrolled window asks for its content's size, as far as the screen
 * leaves room; a scroll bar that must show is added to the other side. */
void fit_size_request(GtkWidget *sw, GtkRequisition *req, gpointer data)
{
    auto *fit = static_cast<ui_dlg_fit_desc *>(data);
    if (fit->measuring) {
        req->width = req->height = 0;
        return;
    }
    GtkRequisition inner;
    gtk_widget_size_request(fit->inner, &inner);
    GtkRequisition vs = {0, 0}, hs = {0, 0};
    gtk_widget_size_request(gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(sw)), &vs);
    gtk_widget_size_request(gtk_scrolled_window_get_hscrollbar(GTK_SCROLLED_WINDOW(sw)), &hs);
    int room_w = fit->max_w - fit->over_w, room_h = fit->max_h - fit->over_h;
    bool cut_w = inner.width > room_w, cut_h = inner.height > room_h;
    int w = inner.width + (cut_h ? vs.width + 4 : 0);
    int h = inner.height + (cut_w ? hs.height + 4 : 0);
    req->width = MAX(1, MIN(w, room_w));
    req->height = MAX(1, MIN(h, room_h));
}

} // namespace

void ui_dlg_work_area(GtkWidget *window, GdkRectangle *area)
{
    GtkWindow *parent = parent_of(window);
    GdkScreen *screen = parent ? gtk_window_get_screen(parent) : gdk_screen_get_default();
    int monitor = 0;
    if (parent && gtk_widget_get_realized(GTK_WIDGET(parent)))
        monitor = gdk_screen_get_monitor_at_window(screen, gtk_widget_get_window(GTK_WIDGET(parent)));
    gdk_screen_get_monitor_geometry(screen, monitor, area);
    /* The desktop's panels: the first desktop's work area, where the window
     * manager publishes one. */
    GdkAtom type;
    gint format = 0, length = 0;
    guchar *data = nullptr;
    if (gdk_property_get(gdk_screen_get_root_window(screen), gdk_atom_intern_static_string("_NET_WORKAREA"),
                         gdk_atom_intern_static_string("CARDINAL"), 0, 4, FALSE, &type, &format, &length, &data) &&
        data && format == 32 && length >= (gint)(4 * sizeof(long))) {
        const long *v = reinterpret_cast<const long *>(data);
        GdkRectangle wa = {(int)v[0], (int)v[1], (int)v[2], (int)v[3]}, cut;
        if (gdk_rectangle_intersect(area, &wa, &cut))
            *area = cut;
    }
    g_free(data);
}

void ui_dlg_fit_screen(GtkWidget *dlg, GtkWidget *window)
{
    if (!dlg || !GTK_IS_WINDOW(dlg))
        return;
    GdkRectangle wa;
    ui_dlg_work_area(window, &wa);
    int fw, fh;
    frame_allowance(gtk_window_get_screen(GTK_WINDOW(dlg)), &fw, &fh);
    int max_w = wa.width - fw, max_h = wa.height - fh;
    int dw = -1, dh = -1;
    gtk_window_get_default_size(GTK_WINDOW(dlg), &dw, &dh);
    if (dw > max_w || dh > max_h)
        gtk_window_set_default_size(GTK_WINDOW(dlg), MIN(dw, max_w), MIN(dh, max_h));
    if (GTK_IS_DIALOG(dlg) && !g_object_get_data(G_OBJECT(dlg), "ui_dlg_fit_t")) {
        GtkWidget *vbox = GTK_DIALOG(dlg)->vbox, *action = GTK_DIALOG(dlg)->action_area;
        /* Everything but the button row moves, packed as it was. */
        GtkWidget *inner = gtk_vbox_new(FALSE, gtk_box_get_spacing(GTK_BOX(vbox)));
        GList *kids = gtk_container_get_children(GTK_CONTAINER(vbox));
        for (GList *p = kids; p; p = p->next) {
            GtkWidget *child = GTK_WIDGET(p->data);
            if (child == action)
                continue;
            gboolean expand, fill;
            guint padding;
            GtkPackType pack;
            gtk_box_query_child_packing(GTK_BOX(vbox), child, &expand, &fill, &padding, &pack);
            g_object_ref(child);
            gtk_container_remove(GTK_CONTAINER(vbox), child);
            if (pack == GTK_PACK_START)
                gtk_box_pack_start(GTK_BOX(inner), child, expand, fill, padding);
            else
                gtk_box_pack_end(GTK_BOX(inner), child, expand, fill, padding);
            g_object_unref(child);
        }
        g_list_free(kids);

        GtkWidget *sw = gtk_scrolled_window_new(nullptr, nullptr);
        gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(sw), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
        gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(sw), GTK_SHADOW_NONE);
        gtk_scrolled_window_add_with_viewport(GTK_SCROLLED_WINDOW(sw), inner);
        GtkWidget *viewport = gtk_bin_get_child(GTK_BIN(sw));
        gtk_viewport_set_shadow_type(GTK_VIEWPORT(viewport), GTK_SHADOW_NONE);
        gtk_box_pack_start(GTK_BOX(vbox), sw, TRUE, TRUE, 0);
        gtk_box_reorder_child(GTK_BOX(vbox), sw, 0);

        auto *fit = static_cast<ui_dlg_fit_desc *>(g_malloc0(sizeof(ui_dlg_fit_desc)));
        fit->inner = inner;
        fit->max_w = max_w;
        fit->max_h = max_h;
        g_object_set_data_full(G_OBJECT(dlg), "ui_dlg_fit_t", fit, g_free);
        g_signal_connect_after(sw, "size-request", G_CALLBACK(fit_size_request), fit);
        gtk_widget_show(inner);
        gtk_widget_show(viewport);
        gtk_widget_show(sw);
        /* What the dialog takes around its content: its size with the
         * content asking for nothing. The content may be shown later. */
        fit->measuring = true;
        gtk_widget_queue_resize(sw);
        GtkRequisition around;
        gtk_widget_size_request(dlg, &around);
        fit->measuring = false;
        gtk_widget_queue_resize(sw);
        fit->over_w = around.width;
        fit->over_h = around.height;
    }
    ui_dlg_place(dlg, window);
}

int ui_show_error(GtkWidget *window, const char *title, const char *message)
{
    GtkWindow *parent = parent_of(window);
    /* The text goes through "%s": a percent sign in it is shown as it is. */
    GtkWidget *dlg = gtk_message_dialog_new(parent, (GtkDialogFlags)(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                            GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", message ? message : "");
    if (title)
        gtk_window_set_title(GTK_WINDOW(dlg), title);
    ui_dlg_place(dlg, window);
    /* The parent may be destroyed while the box is up, taking the box with
     * it; the extra reference keeps the final destroy safe. */
    g_object_ref(dlg);
    gtk_dialog_run(GTK_DIALOG(dlg));
    gtk_widget_destroy(dlg);
    g_object_unref(dlg);
    return 0;
}

int ui_dialog_ok_cancel(const char *msg)
{
    GtkWidget *dlg = gtk_message_dialog_new(parent_of(nullptr), GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                            GTK_BUTTONS_OK_CANCEL, "%s", msg ? msg : "");
    ui_dlg_place(dlg, nullptr);
    int r = gtk_dialog_run(GTK_DIALOG(dlg));
    gtk_widget_destroy(dlg);
    return r == GTK_RESPONSE_OK ? 1 : 0;
}

int ui_dialog_ok_cancel_list(const char *msg, const char *const *names, int count)
{
    GtkWidget *dlg = gtk_message_dialog_new(parent_of(nullptr), GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                            GTK_BUTTONS_OK_CANCEL, "%s", msg ? msg : "");
    std::string text;
    for (int i = 0; names && i < count; i++) {
        if (!names[i])
            continue;
        if (!text.empty())
            text += "\n";
        /* Names come from the server: shown as text, whatever their bytes. */
        text += g_utf8_validate(names[i], -1, nullptr) ? names[i] : "?";
    }
    GtkWidget *label = gtk_label_new(text.c_str());
    gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.0f);
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
    gtk_widget_set_name(label, "ui_dialog_ok_cancel_list");
    GtkWidget *sw = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(sw), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(sw), GTK_SHADOW_IN);
    gtk_scrolled_window_add_with_viewport(GTK_SCROLLED_WINDOW(sw), label);
    /* Up to about ten names in sight; more scroll. */
    GtkRequisition req;
    gtk_widget_size_request(label, &req);
    gtk_widget_set_size_request(sw, MIN(MAX(req.width + 24, 240), 600), MIN(req.height + 8, 200));
    gtk_box_pack_start(GTK_BOX(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dlg))), sw, TRUE, TRUE, 0);
    gtk_widget_show_all(sw);
    ui_dlg_fit_screen(dlg, nullptr);
    int r = gtk_dialog_run(GTK_DIALOG(dlg));
    gtk_widget_destroy(dlg);
    return r == GTK_RESPONSE_OK ? 1 : 0;
}

int ui_dialog_input_ex(const char *msg, int len, char *input, int flags)
{
    GtkWidget *dlg = gtk_dialog_new_with_buttons(msg, parent_of(nullptr), GTK_DIALOG_MODAL, GTK_STOCK_OK,
                                                 GTK_RESPONSE_ACCEPT, GTK_STOCK_CANCEL, GTK_RESPONSE_REJECT, NULL);
    ui_dlg_place(dlg, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(dlg), GTK_RESPONSE_ACCEPT);

    int max_length = len;
    if (len > 100) {
        gtk_widget_set_size_request(dlg, len / 100, -1);
        max_length = len % 100;
    }
    GtkWidget *entry = gtk_entry_new();
    gtk_entry_set_max_length(GTK_ENTRY(entry), max_length > 0 ? max_length : 0);
    gtk_entry_set_text(GTK_ENTRY(entry), input ? input : "");
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    /* The filters judge what the operator types or pastes; the caller's
     * starting text is shown as it is. */
    if (flags)
        ui_attach_tc_completition(entry);
    else
        ui_attach_entry_filter_media_id(entry);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dlg))), entry, TRUE, TRUE, 0);
    gtk_widget_show(entry);
    g_object_set_data(G_OBJECT(dlg), "entry", entry);

    int r = gtk_dialog_run(GTK_DIALOG(dlg));
    int accepted = r == GTK_RESPONSE_ACCEPT;
    if (accepted && input)
        copy_utf8(input, gtk_entry_get_text(GTK_ENTRY(entry)), INPUT_SIZE);
    gtk_widget_destroy(dlg);
    return accepted;
}

int ui_dialog_input(const char *msg, int len, char *input)
{
    return ui_dialog_input_ex(msg, len, input, 0);
}

int ui_show_error_async(GtkWidget *window, const char *title, const char *message)
{
    if (on_main_loop_thread()) {
        g_warning("%s: called on the main loop thread, which would wait for itself", __func__);
        return -22;
    }
    auto *ctx = (ui_show_error_async_t *)g_malloc0(sizeof(ui_show_error_async_t));
    ctx->title = g_strdup(title);
    ctx->message = g_strdup(message);
    ctx->window = window;
    g_idle_add(show_error_idle, ctx);
    wait_done(&ctx->f_done);
    g_idle_remove_by_data(ctx);
    int r = ctx->result;
    g_free(ctx->title);
    g_free(ctx->message);
    g_free(ctx);
    return r;
}

int ui_dialog_ok_cancel_async(const char *msg)
{
    if (on_main_loop_thread()) {
        g_warning("%s: called on the main loop thread, which would wait for itself", __func__);
        return 0;
    }
    auto *ctx = (ui_dialog_ok_cancel_t *)g_malloc0(sizeof(ui_dialog_ok_cancel_t));
    ctx->msg = g_strdup(msg);
    g_warning("%s: ctx=%p", __func__, (void *)ctx);
    g_idle_add(ok_cancel_idle, ctx);
    wait_done(&ctx->f_done);
    g_warning("%s: f_done = 1, r = %d", __func__, ctx->result);
    g_idle_remove_by_data(ctx);
    int r = ctx->result;
    g_free(ctx->msg);
    g_free(ctx);
    return r;
}

int ui_dialog_input_async(const char *msg, int len, char *input)
{
    if (on_main_loop_thread()) {
        g_warning("%s: called on the main loop thread, which would wait for itself", __func__);
        return 0;
    }
    auto *ctx = (ui_dialog_input_t *)g_malloc0(sizeof(ui_dialog_input_t));
    ctx->msg = g_strdup(msg);
    ctx->len = len;
    if (input)
        strlcpy(ctx->input, input, sizeof(ctx->input));
    g_warning("%s: ctx=%p", __func__, (void *)ctx);
    g_idle_add(input_idle, ctx);
    wait_done(&ctx->f_done);
    g_warning("%s: f_done = 1, r = %d", __func__, ctx->result);
    g_idle_remove_by_data(ctx);
    int r = ctx->result;
    if (r == 1 && input)
        strlcpy(input, ctx->input, INPUT_SIZE);
    g_free(ctx->msg);
    g_free(ctx);
    return r;
}
