/* Placeholder until the editor lands: says so and changes nothing. */
#include "subclip_dialog.h"

#include <gtk/gtk.h>

#include "i18n.h"

int subclip_dialog(GtkWidget *window, srv_t *, pelmora_lib_subclip_t *, int, int, pelmora_lib_subclip_t ***)
{
    GtkWidget *d = gtk_message_dialog_new(window ? GTK_WINDOW(window) : nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                          GTK_BUTTONS_OK, "%s", _("The subclip editor is not available yet."));
    gtk_dialog_run(GTK_DIALOG(d));
    gtk_widget_destroy(d);
    return 0;
}
