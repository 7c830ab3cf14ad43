/* Simulator playlists: ".ply" files in the data folder, one event line per
 * line, and the name rule that keeps every read and write inside that folder. */
#pragma once
#include <string>
#include <vector>

#include "pelmorabox.h"

#define SIM_PLAYLIST_LINE_MAX 16383

/* Checks a playlist name and gives the file name (".ply" added when
 * missing): -22 for an empty name, a "/", "\\", "..", a leading "." or a
 * control character. */
int sim_playlist_name(const char *name, std::string *file);
/* Events from the text of a playlist; lines that do not hold an event are
 * skipped with a log line naming `where` and the line number. */
int sim_playlist_parse(const char *where, const std::string &text, std::vector<pelmorabox_event_t *> *out);
/* Reads the playlist `name` of the folder: the number of events, -22 for a
 * refused name, -2 when there is no such file. */
int sim_playlist_read(const char *dir, const char *name, std::vector<pelmorabox_event_t *> *out);
/* Writes the events as the playlist `name` (replacing it at once, through a
 * temporary file): the number written, -22 for a refused name, or the
 * negated system error. */
int sim_playlist_write(const char *dir, const char *name, const std::vector<const pelmorabox_event_t *> &events);
/* Names of the ".ply" files of the folder, sorted. */
int sim_playlist_list(const char *dir, std::vector<std::string> *names);
