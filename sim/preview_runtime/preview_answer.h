/* What the stand-in runtime reads from outside: a player's answers (its
 * status, the media file of a clip) and the player's announcement, which
 * names the media folder its files must lie in. Everything here is refused
 * rather than trusted; nothing is opened or decoded. */
#pragma once
#include <stddef.h>
#include <xmlrpc-c/base.h>

#include <string>

/* Longest clip name and announcement taken. */
#define PS_NAME_MAX 1024
#define PS_ANNOUNCE_MAX 4096

typedef struct ps_status_desc
{
    int status = 0; /* 0 idle, 1 cued, 2 playing, 3 paused, ..., 5 on air with nothing to show */
    int clip_pos = 0;
    int tc_frames = 0;
    std::string name;
    std::string cookie; /* a live source's title; "" when not sent */
} ps_status_t;

/* The player's status while a bus it plays to air has nothing on air. */
#define PS_STATUS_BLACK 5

/* A GetStatus answer: 0, or -14 when a member is missing or mistyped, or the
 * name is longer than PS_NAME_MAX. A cookie that is missing, mistyped or
 * longer than PS_NAME_MAX is left empty. */
int ps_answer_status(xmlrpc_value *answer, ps_status_t *out);
/* A LibBasenameItem answer: 0 with the file named, the server's negative
 * result, -14 for an unusable answer, -22 for a name that is empty, longer
 * than a path or not absolute. */
int ps_answer_file(xmlrpc_value *answer, std::string *file);
/* The media folder named by an announcement ("media=/path" on a line of its
 * own; the text need not be terminated): 0, or -2 when none is named, -22
 * when it is not an absolute path or the text is longer than
 * PS_ANNOUNCE_MAX. */
int ps_announce_media(const char *text, size_t len, std::string *root);
/* Whether the real path `real` lies inside the real folder `root` (the
 * folder itself is not inside it). */
int ps_path_inside(const std::string &root, const std::string &real);
