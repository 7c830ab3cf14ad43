/* Library pane. */
#include "library_pane.h"

#include <gdk/gdkkeysyms.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "library_capacity.h"
#include "library_ops.h"
#include "library_subclip.h"
#include "library_ui.h"
#include "transcoder.h"
#include "transfer.h"
#include "ui_images.h"
#include "ui_tools.h"

namespace {

enum
{
    BTN_CREATE_DIR = 1,
    BTN_MOVE = 2,
    BTN_SUBCLIP = 5,
    BTN_TRANSFER_LIST = 6,
    BTN_EXPORT = 7,
    BTN_TRANSCODER_LIST = 12,
    BTN_AUDIONORM = 13,
    BTN_TRANSCODE = 14,
    BTN_TRANSCODE_SUBCLIP = 15,
    BTN_RENAME = 20,
    BTN_DELETE = 21,
    BTN_SHOW = 22,
    BTN_HIDE = 23,
};

const ui_button_desc buttons[] = {
    {BTN_RENAME, "Rename library item", nullptr, nullptr, "button_library_rename_item", library_rename_image},
    {BTN_DELETE, "Delete library items", nullptr, nullptr, "button_library_delete_items", library_delete_image},
    {BTN_MOVE, "Move items (F6)", nullptr, nullptr, "button_library_move_items", library_move_image},
    {BTN_CREATE_DIR, "Create directory (F7)", nullptr, nullptr, "button_library_create_dir", library_create_dir_image},
    {BTN_TRANSFER_LIST, "Show transfer list window", nullptr, nullptr, "button_library_transfer_list",
     library_transfer_list_image},
    {BTN_EXPORT, "Export selected items", nullptr, nullptr, "button_library_transfer_export",
     library_transfer_export_image},
    {BTN_TRANSCODER_LIST, "Show transcoder list window", nullptr, nullptr, "button_library_transcoder_list",
     library_transcoder_list_image},
    {BTN_TRANSCODE, "Transcode selected items", nullptr, nullptr, "button_library_transcoder_item",
     library_transcoder_item_image},
    {BTN_AUDIONORM, "Normalize audio of selected items", nullptr, nullptr, "button_library_audionorm_item",
     library_audionorm_item_image},
    {BTN_TRANSCODE_SUBCLIP, "Transcode subclip", nullptr, nullptr, "button_library_transcoder_item",
     library_transcoder_item_image},
    {3, "Find item", nullptr, nullptr, "button_library_find", library_find_image},
    {4, "Find next item", nullptr, nullptr, "button_library_find_next", library_find_next_image},
    {BTN_SUBCLIP, "Subclip", nullptr, nullptr, "subclip_new", library_subclip_image},
    {BTN_SHOW, "Show Library", nullptr, nullptr, "library_show", library_show_image},
    {BTN_HIDE, "Hide Library", nullptr, nullptr, "library_hide", library_hide_image},
    {0, nullptr, nullptr, nullptr, nullptr, nullptr},
};

/* The selected items as the job dialogs take them: pointers into one copy
 * of the selection, released with it. */
struct item_list
{
    int n = 0, ns = 0;
    pelmora_lib_item_t *items = nullptr;
    pelmora_lib_subclip_t *subs = nullptr;
    std::vector<pelmora_lib_item_t *> ptrs;
    std::vector<pelmora_lib_subclip_t *> sptrs;
    explicit item_list(library_t *lib, bool with_subclips = false)
    {
        items = library_get_selected_items(lib, &n);
        for (int i = 0; i < n; i++)
            ptrs.push_back(&items[i]);
        if (with_subclips) {
            subs = library_get_selected_subclips(lib, &ns);
            for (int i = 0; i < ns; i++)
                sptrs.push_back(&subs[i]);
        }
    }
    ~item_list()
    {
        free(items);
        free(subs);
    }
    item_list(const item_list &) = delete;
    item_list &operator=(const item_list &) = delete;
};

gboolean on_subclip(GtkWidget *, gpointer lib)
{
    library_subclip_dialog(static_cast<library_t *>(lib));
    return TRUE;
}

gboolean on_transfer_list(GtkWidget *, gpointer lib)
{
    library_transfer_list(static_cast<library_t *>(lib));
    return TRUE;
}

gboolean on_export(GtkWidget *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    item_list l(lib);
    if (l.n)
        library_transfer_export(lib, l.ptrs.data(), l.n);
    return TRUE;
}

gboolean on_transcoder_list(GtkWidget *, gpointer lib)
{
    library_transcoder_list(static_cast<library_t *>(lib));
    return TRUE;
}

gboolean on_transcode(GtkWidget *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    item_list l(lib, true);
    /* Also with nothing selected: the operator is told so. */
    library_transcoder_item(lib, l.ptrs.data(), l.n, l.sptrs.data(), l.ns, nullptr);
    return TRUE;
}

gboolean on_audionorm(GtkWidget *, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    item_list l(lib);
    if (l.n)
        library_audionorm_item(lib, l.ptrs.data(), l.n);
    return TRUE;
}

gboolean on_show(GtkWidget *, gpointer lib)
{
    library_ui_showhide(static_cast<library_t *>(lib), 1);
    return TRUE;
}

gboolean on_hide(GtkWidget *, gpointer lib)
{
    library_ui_showhide(static_cast<library_t *>(lib), 0);
    return TRUE;
}

gboolean on_tree_button_press(GtkWidget *, GdkEventButton *ev, gpointer lib)
{
    if (ev->type != GDK_2BUTTON_PRESS || ev->button != 3)
        return FALSE;
    fprintf(stderr, "%s: double click right?\n", "library_tree_button_press");
    library_subclip_dialog(static_cast<library_t *>(lib));
    return TRUE;
}

/* Job windows and the move dialog go with the library: the model calls
 * this on the main loop when it is released. */
void pane_closing(library_t *lib)
{
    library_job_windows_release(lib);
    library_ops_release(lib);
}

GtkWidget *button(library_t *lib, int id, int slot, GCallback cb)
{
    GtkWidget *b = ui_create_button_image(ui_button_lookup(buttons, id));
    /* Reachable with Tab, pressed with Space or Enter. */
    gtk_widget_set_can_focus(b, TRUE);
    if (cb)
        g_signal_connect(b, "clicked", cb, lib);
    if (slot)
        lib->ui[slot] = b;
    return b;
}

void spacer(GtkWidget *box, int padding)
{
    GtkWidget *l = gtk_label_new("");
    gtk_box_pack_start(GTK_BOX(box), l, TRUE, TRUE, (guint)padding);
}

} // namespace

gboolean library_tree_key_press_cb(GtkWidget *, GdkEventKey *ev, gpointer p)
{
    library_t *lib = static_cast<library_t *>(p);
    switch (ev->keyval) {
    case GDK_KEY_Delete:
    case GDK_KEY_KP_Delete:
    case GDK_KEY_BackSpace:
    case GDK_KEY_Insert:
    case GDK_KEY_KP_Insert:
        return TRUE;
    case GDK_KEY_F2:
        library_rename_item_srv(nullptr, lib);
        return TRUE;
    case GDK_KEY_F6:
        library_move_items_srv(lib->ui[LIBRARY_UI_BUTTON_MOVE_ITEMS], lib);
        return TRUE;
    case GDK_KEY_F7:
        library_create_dir_srv(nullptr, lib);
        return TRUE;
    case GDK_KEY_F8:
        library_delete_items_srv(nullptr, lib);
        return TRUE;
    default:
        return FALSE;
    }
}

GtkWidget *library_ui_create_main(GtkWidget *top, library_t *lib, int f_show, GtkWidget *btm)
{
    for (int i = 0; i < 3; i++) {
        static const guint8 *const data[3] = {library_icon_folder, library_icon_clip, library_icon_subclip};
        if (!lib->icons[i])
            lib->icons[i] = ui_images_pixbuf(data[i]);
    }
    lib->ui[LIBRARY_UI_SIZEAREA] = top;
    GtkWidget *box = gtk_hbox_new(FALSE, 0);
    /* The pane holds the library's view: the tree and the notice line in it
     * use its record. */
    library_view_attach(lib, box);
    gtk_box_pack_start(GTK_BOX(box), button(lib, BTN_SHOW, LIBRARY_UI_BUTTON_SHOW, G_CALLBACK(on_show)), FALSE, FALSE,
                       0);
    gtk_box_pack_start(GTK_BOX(box), button(lib, BTN_HIDE, LIBRARY_UI_BUTTON_HIDE, G_CALLBACK(on_hide)), FALSE, FALSE,
                       0);
    GtkWidget *area = gtk_vbox_new(FALSE, 0);
    lib->ui[LIBRARY_UI_SHOWAREA] = area;
    gtk_widget_set_size_request(area, 450, -1);
    gtk_box_pack_start(GTK_BOX(box), area, TRUE, TRUE, 0);

    GtkWidget *bar = gtk_hbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(bar), button(lib, BTN_SUBCLIP, LIBRARY_UI_BUTTON_SUBCLIP_DLG, G_CALLBACK(on_subclip)),
                       FALSE, FALSE, 0);
    spacer(bar, 10);
    const struct
    {
        int id, slot;
        GCallback cb;
    } groups[] = {
        {BTN_CREATE_DIR, LIBRARY_UI_BUTTON_CREATE_DIR, G_CALLBACK(library_create_dir_srv)},
        {BTN_RENAME, LIBRARY_UI_BUTTON_RENAME_ITEM, G_CALLBACK(library_rename_item_srv)},
        {BTN_MOVE, LIBRARY_UI_BUTTON_MOVE_ITEMS, G_CALLBACK(library_move_items_srv)},
        {BTN_DELETE, LIBRARY_UI_BUTTON_DELETE_ITEMS, G_CALLBACK(library_delete_items_srv)},
        {0, 0, nullptr},
        {BTN_TRANSFER_LIST, LIBRARY_UI_BUTTON_TRANSFER_LIST, G_CALLBACK(on_transfer_list)},
        {BTN_EXPORT, LIBRARY_UI_BUTTON_TRANSFER_EXPORT, G_CALLBACK(on_export)},
        {0, 0, nullptr},
        {BTN_TRANSCODER_LIST, LIBRARY_UI_BUTTON_TRANSCODER_LIST, G_CALLBACK(on_transcoder_list)},
        {BTN_TRANSCODE, LIBRARY_UI_BUTTON_TRANSCODER_ITEM, G_CALLBACK(on_transcode)},
        {0, 0, nullptr},
        {BTN_AUDIONORM, LIBRARY_UI_BUTTON_AUDIONORM_ITEM, G_CALLBACK(on_audionorm)},
    };
    for (const auto &g : groups) {
        if (g.id)
            gtk_box_pack_start(GTK_BOX(bar), button(lib, g.id, g.slot, g.cb), FALSE, FALSE, 0);
        else
            spacer(bar, 0);
    }
    /* Narrower than its buttons, the bar scrolls rather than cutting them
     * off or pressing them over each other. */
    gtk_box_pack_start(GTK_BOX(area), ui_hscroller(bar), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(area), library_ui_tree_create(lib), TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(area), library_ui_search_row_create(lib), FALSE, FALSE, 0);
    GtkWidget *notice = gtk_label_new("");
    gtk_misc_set_alignment(GTK_MISC(notice), 0.0f, 0.5f);
    gtk_label_set_ellipsize(GTK_LABEL(notice), PANGO_ELLIPSIZE_END);
    gtk_widget_set_no_show_all(notice, TRUE);
    /* The line is kept while no notice shows: a notice coming or going
     * moves nothing the operator is about to click. */
    GtkWidget *notice_line = gtk_vbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(notice_line), notice, TRUE, TRUE, 0);
    PangoLayout *probe = gtk_widget_create_pango_layout(notice, "Ag");
    int line_h = 0;
    pango_layout_get_pixel_size(probe, nullptr, &line_h);
    g_object_unref(probe);
    gtk_widget_set_size_request(notice_line, -1, line_h);
    gtk_widget_show(notice_line);
    gtk_box_pack_start(GTK_BOX(area), notice_line, FALSE, FALSE, 2);
    library_ui_notice_attach(lib, notice);
    if (btm)
        gtk_box_pack_start(GTK_BOX(area), btm, FALSE, FALSE, 0);

    GtkWidget *tree = lib->ui[LIBRARY_UI_CLIPS_TREE];
    gtk_widget_add_events(tree, GDK_BUTTON_PRESS_MASK | GDK_KEY_PRESS_MASK);
    g_signal_connect(tree, "key-press-event", G_CALLBACK(library_tree_key_press_cb), lib);
    g_signal_connect(tree, "button-press-event", G_CALLBACK(on_tree_button_press), lib);
    /* Nothing selected yet. */
    gtk_widget_set_sensitive(lib->ui[LIBRARY_UI_BUTTON_SUBCLIP_DLG], FALSE);
    const library_listener_t listener = {nullptr, nullptr, pane_closing};
    library_ui_listen(lib, &listener);

    gtk_widget_show_all(bar);
    gtk_widget_show(box);
    library_ui_showhide(lib, f_show);
    return box;
}
