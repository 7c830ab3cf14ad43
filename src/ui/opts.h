/* Command line and options files: the option table that fills instance_desc
 * and its buses, the options file reader and the usage text. Runs once, before
 * any window exists. */
#pragma once
#include "instance.h"

typedef int (*opts_from_file_cb_t)(int argc, char **argv, instance_t *app);

int instance_opt(int argc, char **argv, instance_t *app);
int opts_from_file(const char *filename, instance_t *instance, opts_from_file_cb_t cb);
int opts_from_file_cb(int argc, char **argv, instance_t *app);
void instance_usage(void);
int instance_helper_type_path_lookup(bus_t *bus, const char *item);

/* Sets the four colour defaults that an option may override. */
void instance_opt_defaults(instance_t *app);

/* Presets file of the IO settings dialog's channel maps: the first
 * --audio-map-helper given, "" when none. */
const char *opts_audio_map_helper(void);
void opts_audio_map_helper_reset(void);

/* How deeply options files may name further options files. */
#define OPTS_FILE_MAX_DEPTH 16
/* How many options files one parse may read in all. */
#define OPTS_FILES_MAX 64
