/* Start-up and shutdown of the application record: the window built from
 * the parsed options, each bus's machinery started, and the shutdown thread
 * that stops it all while the main loop keeps serving hand-overs. */
#pragma once
#include "instance.h"

instance_t *instance_create(int argc, char **argv);
int instance_init(instance_t *app);
int instance_release(instance_t *app);
int instance_destroy(instance_t *app);
void *instance_stop_wait(void *app);
void *library_stat_notify_proc(void *bus);
/* Non-zero when instance_create had a valid configuration but no display. */
int instance_display_missing(void);
