/* Modal dialogs and their worker-thread forms. */
#include "ui_dlg.h"

#include <string.h>

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
