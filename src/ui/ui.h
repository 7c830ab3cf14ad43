/* The main window: a notebook with one page per bus. */
#pragma once
#include "instance.h"

GtkWidget *ui_create(instance_t *app);
/* The title rule: --window-title when given, else "PelmoraBoxUI". */
const char *ui_window_title(const instance_t *app);
