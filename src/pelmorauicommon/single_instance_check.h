/* Single-instance check: finds a window of another process of the same
 * program whose title is "PelmoraBoxUI" or this instance's --window-title,
 * brings it to the front and ends this process. */
#pragma once
#include "instance.h"

/* Returns 0 when no such window exists (or no display is open); does not
 * return when one was found. */
int single_instance_check(instance_t *app);
