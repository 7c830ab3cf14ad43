/* Program entry: prepares the environment, builds the configuration and the
 * main window, starts the per-bus machinery, runs the main loop and takes
 * everything down again in order. */
#include <gtk/gtk.h>
#include <libintl.h>
#include <locale.h>
#include <stdio.h>

#include <string>

#include "instance_lifecycle.h"
#include "ndi_runtime.h"
#include "pelmora_version.h"
#include "single_instance_check.h"
#include "support.h"
#include "timecode.h"
#include "xkeys.h"

int main(int argc, char **argv)
{
    instance_bin_dir_set(argc > 0 ? argv[0] : nullptr);
    const std::string bin = instance_bin_dir();

    int r = tc_setmode(TC_ENV);
    if (r < 0 && r != -2) {
        fprintf(stderr, "Failed to set timecode mode\n");
        return 1;
    }
    tc_test();

    const std::string locale_dir = bin + "/../share/locale/";
    bindtextdomain("PelmoraBox", locale_dir.c_str());
    bind_textdomain_codeset("PelmoraBox", "UTF-8");
    bindtextdomain("pelmorabox", locale_dir.c_str());
    bind_textdomain_codeset("pelmorabox", "UTF-8");
    textdomain("PelmoraBox");

    gdk_threads_init();
    setlocale(LC_ALL, "");
    /* GTK sees no arguments: every option on the command line is ours. The
     * usage text must still come out without a display, so a missing one is
     * only fatal once a window is needed. */
    gtk_init_check(nullptr, nullptr);

    g_warning("bindtextdomain(%s)\n", locale_dir.c_str());
    const std::string pixmaps = bin + "/../share/PelmoraBoxUI/pixmaps/";
    add_pixmap_directory(pixmaps.c_str());
    g_warning("add_pixmap_directory(%s)\n", pixmaps.c_str());

    printf("%s-%s - operator's console of the playout system\n", PELMORA_APP_NAME, PELMORA_VERSION);
    printf("PATH_MAX=%d\n", 260);
    fflush(stdout);

    /* The network video preview: without its runtime the strips stay
     * empty, start-up goes on. */
    int prv_r = pelmora_io_preview_init();
    if (prv_r < 0)
        g_warning("pelmora_io_preview_init=%d: the preview strips stay empty", prv_r);

    instance_t *app = instance_create(argc, argv);
    int rc = 0;

    if (app->window) {
        if (app->f_single_instance)
            single_instance_check(app);

        if (app->f_debug)
            pelmora_io_preview_debug(1);

        xkeys_init();
        for (int i = 0; i < app->bus.count; i++) {
            bus_t *bus = &app->bus.list[i];
            if (bus->xkeys_row && bus->xkeys_col) {
                xkeys_callback(bus->xkeys_row, bus->xkeys_col, xkeys_callback_proc, bus);
                instance_trig_setup(bus);
            }
        }

        gtk_widget_show(app->window);
        gdk_threads_enter();
        instance_init(app);
        xkeys_start();
        gtk_main();
        xkeys_stop();
        instance_release(app);
        gdk_threads_leave();

        xkeys_release();
        for (int i = 0; i < app->bus.count; i++) {
            bus_t *bus = &app->bus.list[i];
            if (bus->xkeys_row && bus->xkeys_col)
                instance_trig_release(bus);
        }
    } else if (instance_display_missing()) {
        /* Configured but nowhere to show it: that is a failure, not a usage case. */
        rc = 1;
    }

    instance_destroy(app);
    if (prv_r >= 0)
        pelmora_io_preview_release();
    return rc;
}
