/* pelmora-ctl commands: each runs its automation calls through the client
 * library, prints JSON lines or a table, and turns the outcome into the
 * program's exit status. */
#pragma once
#include <stdio.h>

#include <string>

#include "ctl_args.h"
#include "ctl_format.h"

/* The bus state by "PelmoraBox.GetState": 0; the server's negative "result"
 * when it refused (a bus it does not have); -14 when no state came. */
int ctl_get_state(const char *url, int bus_idx, pelmorabox_bus_state_t *s);
/* Runs the parsed command: output to out, messages to err; the exit status.
 * The client library must be initialised. */
int ctl_run(const ctl_args_t *a, FILE *out, FILE *err);
/* The whole program: parse, initialise the client library, run, release. */
int ctl_main(int argc, char **argv);
