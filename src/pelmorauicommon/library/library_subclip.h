/* The library's entry into the subclip editor: the selected item or
 * subclip is read from the bus's preview IO server, edited against its
 * player, and its subclips are written back when the operator saves. */
#pragma once
#include "library.h"

/* From the "Subclip" button and the tree's right double click. 0 when the
 * editor ran (saved or not), -22 without a preview server, -2 without a
 * single item or subclip selected, or a failed read. Main thread. */
int library_subclip_dialog(library_t *lib);
