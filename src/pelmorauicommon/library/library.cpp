/* Media library model of a bus. The tree, its loading and the notification
 * handling come with the library model; until then start-up and shutdown call
 * these connection points, which leave the record untouched. */
#include "library.h"

int library_init(library_t *lib)
{
    return lib ? 0 : -22;
}

int library_release(library_t *lib)
{
    return lib ? 0 : -22;
}

int library_stat_notify(library_t *lib, int f_gtk_thread)
{
    (void)f_gtk_thread;
    return lib ? 0 : -22;
}
