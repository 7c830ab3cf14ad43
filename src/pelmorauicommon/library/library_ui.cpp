/* Library pane, folding part only (the library model and its tree come
 * later): show and hide buttons around a show area. Folding releases the
 * paned divider so that the bus panel takes the page. Until the library
 * record carries its widget slots, the pane's widgets are kept here by
 * library record. */
#include "library_ui.h"

#include <map>

#include "ui_images.h"
#include "ui_tools.h"

#define LIBRARY_BUTTON_SHOW 22
#define LIBRARY_BUTTON_HIDE 23

namespace {

struct library_fold_desc
{
    GtkWidget *top;
    GtkWidget *box;
    GtkWidget *btn_show;
    GtkWidget *btn_hide;
    GtkWidget *area;
};

/* Main thread only, like every widget. */
std::map<const library_t *, library_fold_desc> folds;

const ui_button_desc buttons[] = {
    {LIBRARY_BUTTON_SHOW, "Show Library", nullptr, nullptr, "library_show", library_show_image},
    {LIBRARY_BUTTON_HIDE, "Hide Library", nullptr, nullptr, "library_hide", library_hide_image},
    {0, nullptr, nullptr, nullptr, nullptr, nullptr},
};

void on_show_clicked(GtkWidget *button, gpointer lib)
{
    (void)button;
    library_ui_showhide(static_cast<library_t *>(lib), 1);
}

void on_hide_clicked(GtkWidget *button, gpointer lib)
{
    (void)button;
    library_ui_showhide(static_cast<library_t *>(lib), 0);
}

void on_pane_destroy(GtkWidget *box, gpointer lib)
{
    auto it = folds.find(static_cast<library_t *>(lib));
    if (it != folds.end() && it->second.box == box)
        folds.erase(it);
}

} // namespace

GtkWidget *library_ui_create_main(GtkWidget *top, library_t *lib, int f_show, GtkWidget *btm)
{
    library_fold_desc d = {};
    d.top = top;
    GtkWidget *box = gtk_hbox_new(FALSE, 0);
    d.box = box;

    d.btn_show = ui_create_button_image(ui_button_lookup(buttons, LIBRARY_BUTTON_SHOW));
    d.btn_hide = ui_create_button_image(ui_button_lookup(buttons, LIBRARY_BUTTON_HIDE));
    g_signal_connect(d.btn_show, "clicked", G_CALLBACK(on_show_clicked), lib);
    g_signal_connect(d.btn_hide, "clicked", G_CALLBACK(on_hide_clicked), lib);
    gtk_box_pack_start(GTK_BOX(box), d.btn_show, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), d.btn_hide, FALSE, FALSE, 0);

    d.area = gtk_vbox_new(FALSE, 0);
    gtk_widget_set_size_request(d.area, 450, -1);
    gtk_box_pack_start(GTK_BOX(box), d.area, TRUE, TRUE, 0);
    /* Connection point: the button bar, the tree in its scrolled window and
     * the search row fill the show area from the top once the library pane
     * is built; until then an empty expanding space stands for them. */
    GtkWidget *space = gtk_label_new("");
    gtk_widget_show(space);
    gtk_box_pack_start(GTK_BOX(d.area), space, TRUE, TRUE, 0);
    if (btm)
        gtk_box_pack_start(GTK_BOX(d.area), btm, FALSE, FALSE, 0);

    folds[lib] = d;
    g_signal_connect(box, "destroy", G_CALLBACK(on_pane_destroy), lib);
    gtk_widget_show(box);
    library_ui_showhide(lib, f_show);
    return box;
}

int library_ui_showhide(library_t *lib, int f_show)
{
    auto it = folds.find(lib);
    if (it == folds.end())
        return -2;
    library_fold_desc &d = it->second;
    if (f_show) {
        gtk_widget_hide(d.btn_show);
        gtk_widget_show(d.btn_hide);
        gtk_widget_show(d.area);
    } else {
        if (d.top && GTK_IS_PANED(d.top))
            gtk_paned_set_position(GTK_PANED(d.top), -1);
        gtk_widget_hide(d.btn_hide);
        gtk_widget_hide(d.area);
        gtk_widget_show(d.btn_show);
    }
    return 0;
}
