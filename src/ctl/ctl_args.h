/* pelmora-ctl command line: global options, the command with its own
 * options, and the event edit that insert and update send (readable fields
 * or an event line). Everything is checked here, before any server call. */
#pragma once
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "pelmorabox.h"

/* Exit statuses of the program. */
#define CTL_EXIT_OK 0
#define CTL_EXIT_REFUSED 1   /* the server refused (negative result) or has nothing there */
#define CTL_EXIT_USAGE 2     /* unknown command, bad option or value: nothing was sent */
#define CTL_EXIT_NO_ANSWER 3 /* no usable answer (-14): down, time-out, malformed */
#define CTL_EXIT_LOCAL 4     /* out of memory or the output could not be written */

typedef enum ctl_cmd
{
    CTL_CMD_NONE = 0,
    CTL_CMD_STATE,
    CTL_CMD_EVENTS,
    CTL_CMD_TAKE,
    CTL_CMD_TAKE_N,
    CTL_CMD_RUN,
    CTL_CMD_FALLBACK,
    CTL_CMD_LOAD,
    CTL_CMD_APPEND,
    CTL_CMD_SAVE,
    CTL_CMD_CLOSE,
    CTL_CMD_TRUNCATE,
    CTL_CMD_PLAYLISTS,
    CTL_CMD_SEARCH,
    CTL_CMD_ERRORS,
    CTL_CMD_INSERT,
    CTL_CMD_UPDATE,
    CTL_CMD_DELETE,
    CTL_CMD_SYS /* a command of the library, IO or job groups (ctl_sys.h) */
} ctl_cmd_t;

/* Readable event fields, each set by one option. */
typedef enum ctl_field
{
    CTL_FIELD_MEDIA = 0,
    CTL_FIELD_TITLE,
    CTL_FIELD_DUR,
    CTL_FIELD_IN,
    CTL_FIELD_OUT,
    CTL_FIELD_TYPE,
    CTL_FIELD_START_TYPE,
    CTL_FIELD_FIXED,
    CTL_FIELD_TAG,
    CTL_FIELD_ASSETS,
    CTL_FIELD_AUDIO_MAP,
    CTL_FIELD_AUDIO_AMP,
    CTL_FIELD_AR,
    CTL_FIELD_LAST
} ctl_field_t;

/* What insert or update changes. With a line the event is that line; the
 * fields then override it in the order given. Metadata is replaced as a
 * whole when f_meta is set (by --meta or --no-meta). */
typedef struct ctl_event_edit_desc
{
    int f_line = 0;
    std::string line;
    std::vector<std::pair<int, std::string>> fields;
    int f_meta = 0;
    std::vector<std::pair<std::string, std::string>> meta;
} ctl_event_edit_t;

/* An inclusive range of list indexes; `to` -1 runs to the end of the list. */
typedef struct ctl_range_desc
{
    int64_t from;
    int64_t to;
} ctl_range_t;

/* A command of the library, IO and job groups: its entry in the command
 * table and its arguments, each already checked against its kind. */
typedef struct ctl_sys_args_desc
{
    int sub = -1;                                          /* index into the table, -1 before the sub-command */
    std::string group;                                     /* lib, io, transfer, transcode */
    std::vector<std::string> pos;                          /* positional arguments */
    std::vector<std::pair<std::string, std::string>> opts; /* name, value ("" for a flag) */
} ctl_sys_args_t;

typedef struct ctl_args_desc
{
    std::string host;              /* HOST:PORT */
    std::string url;               /* http://HOST:PORT/RPC2 */
    std::string lib_host, lib_url; /* --lib: library server and its job services */
    std::string io_host, io_url;   /* --io: IO server */
    int bus_idx = 0;
    int f_table = 0;
    int f_quiet = 0;
    int connect_timeout_ms = 0; /* 0: from the environment or the default */
    int timeout_ms = 0;
    ctl_cmd_t cmd = CTL_CMD_NONE;
    const char *cmd_name = "";

    std::vector<ctl_range_t> ranges; /* events */
    int64_t event_idx = -1;          /* take-n, insert --at, update --idx */
    int f_at_end = 0;                /* insert --at end */
    int f_sys_id = 0;                /* sys_id given: update, insert, truncate */
    int64_t sys_id = 0;
    int f_run = 0;            /* run: 1 start, 0 stop */
    int f_below = -1;         /* truncate: 1 below, 0 above */
    std::string name;         /* playlist name or search key */
    std::vector<int64_t> ids; /* delete: list indexes, or sys_ids with f_sys_id */
    int search_flags = 0;
    int search_from = 0;
    int f_search_all = 0;
    int64_t error_mask = 0;
    ctl_event_edit_t edit;
    ctl_sys_args_t sys;
} ctl_args_t;

/* 0 to run, 1 when --help or --version was asked (text written to out),
 * -22 with `err` set for bad arguments. */
int ctl_args_parse(int argc, char **argv, ctl_args_t *a, std::string *err, FILE *out);
void ctl_usage(FILE *f);

/* The command groups beyond the automation server (lib, transfer,
 * transcode, io) are parsed by ctl_sys.cpp, which holds their table; the
 * parser above calls them through these, so that it need not include the
 * runner's header. */
int ctl_sys_is_group(const char *word);
/* The sub-command of a->sys.group: 0, or -22 with err set. */
int ctl_sys_select(ctl_args_t *a, const char *word, std::string *err);
int ctl_sys_takes_value(const ctl_sys_args_t *s, const char *name);
/* One option of the command: 1 taken, 0 not one of its options, -22 with
 * err set for a bad value. */
int ctl_sys_opt(ctl_args_t *a, const char *name, const std::string &val, std::string *err);
/* Checks the server option and the positional arguments: 0 or -22. */
int ctl_sys_finish(ctl_args_t *a, const std::vector<std::string> &pos, std::string *err);
void ctl_sys_usage(FILE *f);

/* HOST:PORT (a name, an IPv4 address or [IPv6]) into the endpoint URL. */
int ctl_host_url(const char *host, std::string *url);
/* A whole decimal (or 0x hexadecimal when f_hex) number within lo..hi. */
int ctl_parse_int64(const char *s, int64_t lo, int64_t hi, int f_hex, int64_t *out);
/* N, A-B or A- into a range; -22 when malformed or A > B. */
int ctl_parse_range(const char *s, ctl_range_t *r);
/* Comma-separated field names (title, media_id, assets, meta_key, meta_val,
 * start_time, sys_id, all) into the SearchEvent bits. */
int ctl_parse_search_fields(const char *s, int *flags, std::string *err);
/* Flag names (CUEING ... NON_CONT, ABSENT) and numbers joined by "," or
 * "|", or a preset (error, error-subclip, absent), into a mask. */
int ctl_parse_error_mask(const char *s, int64_t *mask, std::string *err);

/* Shell form of an event line: a text holding a real tab is taken as it
 * is; otherwise backslash-t gives a tab and two backslashes one backslash
 * (other backslashes stay). */
std::string ctl_line_unescape(const char *src);
/* Checks a line: 9, 12, 14, 15 or 16 fields, none longer than its record
 * field holds, a known start type, one event type character. */
int ctl_line_check(const std::string &line, std::string *err);
/* Checks one readable field value (length, characters, timecode shape). */
int ctl_field_check(int field, const std::string &val, std::string *err);
/* Start type words (follow, manual, fixed, gap-fill) or one character. */
int ctl_parse_start_type(const char *s, char *out);

/* The event to send: from the line (or a clone of base, or empty), with the
 * edit applied. Null with `err` set when the result would not be sent as
 * given (a line over 16383 characters). */
pelmorabox_event_t *ctl_event_build(const ctl_event_edit_t *ed, const pelmorabox_event_t *base, std::string *err);
