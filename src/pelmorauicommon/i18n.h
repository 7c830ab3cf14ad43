/* i18n: the console's texts. _() translates in the "PelmoraBox" domain, the
 * one bound at start-up; po/extract-messages reads the domain of every file
 * that includes this header from the definition below. */
#ifndef PELMORA_I18N_H
#define PELMORA_I18N_H

#include <libintl.h>

#define _(s) dgettext("PelmoraBox", s)
/* Marks a text in a table for the catalogue; the code that shows it
 * translates it with _(). */
#define N_(s) (s)

#endif
